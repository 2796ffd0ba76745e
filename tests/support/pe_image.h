// A minimal but complete Windows executable image for tests of the core: the
// headers the run checks before it swaps a new version in, one section
// holding `tag`, so that a test can still tell one version from another.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace usqz::testing {

inline std::string peImage(std::string_view tag, std::uint16_t characteristics = 0x0022,
                           std::uint16_t magic = 0x20B, std::uint16_t machine = 0x8664) {
  constexpr std::size_t kPe = 0x40, kOptionalSize = 0xF0;
  constexpr std::size_t kTable = kPe + 4 + 20 + kOptionalSize, kData = kTable + 40;
  std::string image(kData, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) image[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  image[0] = 'M';
  image[1] = 'Z';
  put(0x3C, kPe, 4);
  image.replace(kPe, 4, std::string("PE\0\0", 4));
  put(kPe + 4, machine, 2);
  put(kPe + 6, 1, 2);                     // one section
  put(kPe + 20, kOptionalSize, 2);
  put(kPe + 22, characteristics, 2);
  put(kPe + 24, magic, 2);
  put(kPe + 24 + 60, static_cast<std::uint32_t>(kData), 4);  // SizeOfHeaders
  put(kTable + 16, static_cast<std::uint32_t>(tag.size()), 4);
  put(kTable + 20, static_cast<std::uint32_t>(kData), 4);
  image += tag;
  return image;
}

// The same with a version resource, as a resource compiler writes one:
// file version major.minor.build.revision.
inline std::string peImageWithVersion(std::string_view tag, std::uint16_t major, std::uint16_t minor,
                                      std::uint16_t build = 0, std::uint16_t revision = 0) {
  constexpr std::size_t kPe = 0x40, kOptionalSize = 0xF0;
  constexpr std::size_t kTable = kPe + 4 + 20 + kOptionalSize, kHeaders = kTable + 2 * 40;
  constexpr std::uint32_t kResourceRva = 0x2000;
  std::string resources(0x60, '\0');
  const auto put = [](std::string& into, std::size_t at, std::uint32_t value, int width) {
    if (into.size() < at + static_cast<std::size_t>(width)) into.resize(at + static_cast<std::size_t>(width), '\0');
    for (int i = 0; i < width; ++i) into[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  // Type 16 (version) -> name 1 -> language 0x409 -> the data.
  put(resources, 14, 1, 2);
  put(resources, 16, 16, 4);
  put(resources, 20, 0x80000000u | 0x18, 4);
  put(resources, 0x18 + 14, 1, 2);
  put(resources, 0x18 + 16, 1, 4);
  put(resources, 0x18 + 20, 0x80000000u | 0x30, 4);
  put(resources, 0x30 + 14, 1, 2);
  put(resources, 0x30 + 16, 0x409, 4);
  put(resources, 0x30 + 20, 0x48, 4);
  std::string info(40, '\0');
  const std::u16string key = u"VS_VERSION_INFO";
  for (std::size_t i = 0; i < key.size(); ++i) put(info, 6 + 2 * i, key[i], 2);
  put(info, 2, 52, 2);
  const std::uint32_t fixed[] = {0xFEEF04BD, 0x10000, std::uint32_t{major} << 16 | minor,
                                 std::uint32_t{build} << 16 | revision, std::uint32_t{major} << 16 | minor,
                                 std::uint32_t{build} << 16 | revision, 0x3F, 0, 0x40004, 1, 0, 0, 0};
  for (const auto value : fixed) put(info, info.size(), value, 4);
  put(info, 0, static_cast<std::uint32_t>(info.size()), 2);
  put(resources, 0x48, kResourceRva + 0x60, 4);
  put(resources, 0x4C, static_cast<std::uint32_t>(info.size()), 4);
  resources += info;

  std::string image(kHeaders, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put(image, 0x3C, kPe, 4);
  image.replace(kPe, 4, std::string("PE\0\0", 4));
  put(image, kPe + 4, 0x8664, 2);
  put(image, kPe + 6, 2, 2);  // two sections
  put(image, kPe + 20, kOptionalSize, 2);
  put(image, kPe + 22, 0x0022, 2);
  put(image, kPe + 24, 0x20B, 2);
  put(image, kPe + 24 + 60, static_cast<std::uint32_t>(kHeaders), 4);  // SizeOfHeaders
  put(image, kPe + 24 + 112 + 16, kResourceRva, 4);                       // the resource directory
  put(image, kPe + 24 + 112 + 20, static_cast<std::uint32_t>(resources.size()), 4);
  const std::size_t code = kHeaders, rsrc = kHeaders + tag.size();
  put(image, kTable + 8, static_cast<std::uint32_t>(tag.size()), 4);
  put(image, kTable + 12, 0x1000, 4);
  put(image, kTable + 16, static_cast<std::uint32_t>(tag.size()), 4);
  put(image, kTable + 20, static_cast<std::uint32_t>(code), 4);
  put(image, kTable + 40 + 8, static_cast<std::uint32_t>(resources.size()), 4);
  put(image, kTable + 40 + 12, kResourceRva, 4);
  put(image, kTable + 40 + 16, static_cast<std::uint32_t>(resources.size()), 4);
  put(image, kTable + 40 + 20, static_cast<std::uint32_t>(rsrc), 4);
  image += tag;
  image += resources;
  return image;
}

}  // namespace usqz::testing

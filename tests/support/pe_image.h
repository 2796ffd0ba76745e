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

}  // namespace usqz::testing

#include "checks/file_version.h"

#include <algorithm>

#include "checks/image_check.h"
#include "platform/text.h"

namespace usqz {

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kSubdirectory = 0x80000000;

const auto little = littleEndian;

}  // namespace

std::u16string versionText(const FileVersion& version) {
  return toDecimal(version.major) + u"." + toDecimal(version.minor) + u"." + toDecimal(version.build) + u"." +
         toDecimal(version.revision);
}

std::optional<FileVersion> fileVersionOf(const std::function<std::string(std::uint64_t, std::size_t)>& read) {
  const auto at = [&read](std::uint64_t offset, std::size_t size) -> std::optional<std::string> {
    auto bytes = read(offset, size);
    if (bytes.size() < size) return std::nullopt;
    return bytes;
  };
  const auto dos = at(0, 64);
  if (!dos || (*dos)[0] != 'M' || (*dos)[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = little(*dos, 0x3C, 4);
  const auto file = at(pe, 24);
  if (!file || file->substr(0, 4) != std::string_view("PE\0\0", 4)) return std::nullopt;
  const std::uint32_t sections = little(*file, 6, 2);
  const std::uint32_t optionalSize = little(*file, 20, 2);
  const auto optional = at(pe + 24, optionalSize);
  if (!optional || optionalSize < 2) return std::nullopt;
  // The data directories follow the optional header's fixed part.
  const std::size_t directories = little(*optional, 0, 2) == 0x20B ? 112 : 96;
  const std::size_t entry = directories + kResourceDirectory * 8;
  if (optionalSize < entry + 8) return std::nullopt;
  const std::uint32_t resources = little(*optional, entry, 4);
  if (resources == 0) return std::nullopt;
  const auto table = at(pe + 24 + optionalSize, std::size_t{sections} * 40);
  if (!table) return std::nullopt;
  // Where an address of the loaded image lies in the file.
  const auto offsetOf = [&](std::uint32_t rva) -> std::optional<std::uint64_t> {
    for (std::uint32_t i = 0; i < sections; ++i) {
      const std::size_t section = std::size_t{i} * 40;
      const std::uint32_t start = little(*table, section + 12, 4);
      const std::uint32_t size = std::max(little(*table, section + 8, 4), little(*table, section + 16, 4));
      if (rva >= start && rva - start < size) return std::uint64_t{little(*table, section + 20, 4)} + (rva - start);
    }
    return std::nullopt;
  };
  const auto root = offsetOf(resources);
  if (!root) return std::nullopt;
  // Three levels: the type (RT_VERSION), its first name, its first language.
  std::uint64_t directory = *root;
  std::uint32_t offset = 0;
  for (int level = 0; level < 3; ++level) {
    const auto header = at(directory, 16);
    if (!header) return std::nullopt;
    const std::uint32_t count = little(*header, 12, 2) + little(*header, 14, 2);
    if (count == 0 || count > 4096) return std::nullopt;
    const auto entries = at(directory + 16, std::size_t{count} * 8);
    if (!entries) return std::nullopt;
    std::optional<std::uint32_t> found;
    for (std::uint32_t i = 0; i < count && !found; ++i) {
      if (level > 0 || little(*entries, i * 8, 4) == kVersionType) found = little(*entries, i * 8 + 4, 4);
    }
    if (!found) return std::nullopt;
    offset = *found;
    const bool subdirectory = (offset & kSubdirectory) != 0;
    if (subdirectory != (level < 2)) return std::nullopt;
    directory = *root + (offset & ~kSubdirectory);
  }
  const auto data = at(directory, 16);
  if (!data) return std::nullopt;
  const auto block = offsetOf(little(*data, 0, 4));
  const std::uint32_t size = little(*data, 4, 4);
  if (!block || size < 52 || size > 64 * 1024) return std::nullopt;
  const auto info = at(*block, size);
  if (!info) return std::nullopt;
  // VS_VERSIONINFO's key comes first; the fixed part follows, 4-aligned.
  for (std::size_t i = 0; i + 52 <= info->size(); i += 4) {
    if (little(*info, i, 4) != kFixedInfoSignature) continue;
    const std::uint32_t high = little(*info, i + 8, 4);
    const std::uint32_t low = little(*info, i + 12, 4);
    return FileVersion{static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high & 0xFFFF),
                       static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low & 0xFFFF)};
  }
  return std::nullopt;
}

}  // namespace usqz

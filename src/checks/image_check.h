// Whether a file is a complete Windows executable image, judged from its
// headers alone: what the run checks of a new version before it stops
// anything, so that an empty, cut-short or wrong file never replaces a
// working executable. Portable: bytes in, a reason out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace usqz {

// Enough for the headers and section table of any executable the linkers
// make; a section table that does not fit counts as a defect.
inline constexpr std::size_t kImageHeadBytes = 64 * 1024;

// Machine types of the PE/COFF header.
inline constexpr std::uint16_t kMachineX86 = 0x014C;
inline constexpr std::uint16_t kMachineX64 = 0x8664;
inline constexpr std::uint16_t kMachineArm = 0x01C4;
inline constexpr std::uint16_t kMachineArm64 = 0xAA64;

// The unsigned little-endian number of `width` bytes at `offset`, which
// the caller has made sure lie in `bytes`.
inline std::uint32_t littleEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

// Why an image whose first bytes are `head` (at most kImageHeadBytes of
// them) and whose whole size is `fileSize` is not a complete executable
// this machine runs (its machine type one of `runnable`; any, when that is
// empty), in the run's Portuguese; nothing when it is one.
std::optional<std::u16string> imageDefect(std::string_view head, std::uint64_t fileSize,
                                          const std::vector<std::uint16_t>& runnable = {});

}  // namespace usqz

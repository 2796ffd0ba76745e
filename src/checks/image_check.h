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

namespace usqz {

// Enough for the headers and section table of any executable the linkers
// make; a section table that does not fit counts as a defect.
inline constexpr std::size_t kImageHeadBytes = 64 * 1024;

// Why an image whose first bytes are `head` (at most kImageHeadBytes of
// them) and whose whole size is `fileSize` is not a complete executable, in
// the run's Portuguese; nothing when it is one.
std::optional<std::u16string> imageDefect(std::string_view head, std::uint64_t fileSize);

}  // namespace usqz

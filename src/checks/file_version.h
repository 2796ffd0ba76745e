// A Windows executable's own file version: the VS_FIXEDFILEINFO of its
// version resource, read from the image by the tool itself (no system
// library asked), so that a new version older than the one it replaces can
// be refused: the rollback attack on updaters, where whoever can drop a
// file brings back a signed build with a known hole.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace usqz {

struct FileVersion {
  std::uint16_t major = 0, minor = 0, build = 0, revision = 0;
  friend auto operator<=>(const FileVersion&, const FileVersion&) = default;
};

std::u16string versionText(const FileVersion& version);

// `read(offset, size)` gives up to `size` bytes of the file from `offset`
// (fewer at its end). Nothing when the image has no version resource, or
// one that cannot be read.
std::optional<FileVersion> fileVersionOf(const std::function<std::string(std::uint64_t, std::size_t)>& read);

}  // namespace usqz

// The result file: one line holding the outcome of the last run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/console.h"
#include "platform/file_and_process.h"

namespace usqz {

// Longest name the result file may have; a longer one fails with "Invalid
// filename" before any file is created.
inline constexpr std::size_t kMaxResultFilenameLength = 259;

// Replaces the file's content with `pResult` and CR LF, in the ANSI code
// page, without a byte-order mark. A name that leaves the working directory
// or holds a colon fails with "Invalid filename" before any file is touched.
// No failure of the file work escapes: it
// is reported as a console line and the caller goes on. Only a failure of
// that console line reaches the caller.
void SaveResult(platform::FileAndProcess& os, Console& console, std::u16string_view pFilename,
                std::u16string_view pResult);
// The same file work, with the console line a failure needs handed back
// instead of written, for a caller that writes its own lines first.
std::optional<std::u16string> SaveResultQuietly(platform::FileAndProcess& os, std::u16string_view pFilename,
                                                std::u16string_view pResult);

}  // namespace usqz

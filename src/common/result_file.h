// The result file: one line holding the outcome of the last run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/console.h"
#include "platform/platform.h"

namespace usqz {

// Longest name the result file may have; a longer one fails with "Invalid
// filename" before any file is created.
inline constexpr std::size_t kMaxResultFilenameLength = 259;

// Puts a file holding `pResult` and CR LF, in the ANSI code page, without a
// byte-order mark, in place of the one at `pFilename`: written to a new
// file beside it and put in place in one step, never through what stands
// at the name. The working directory may be one anybody can write to: a
// link, a folder, a file with a second name or one someone else owns at
// the name is left as it is, and the file is not written. A name that
// leaves the working directory or holds a colon fails with "Invalid
// filename" before any file is touched. No failure of the file work
// escapes: it is reported as a console line and the caller goes on. Only
// a failure of that console line reaches the caller.
void SaveResult(platform::Platform& p, Console& console, std::u16string_view pFilename, std::u16string_view pResult);
// The same file work, with the console line a failure needs handed back
// instead of written, for a caller that writes its own lines first.
std::optional<std::u16string> SaveResultQuietly(platform::Platform& p, std::u16string_view pFilename,
                                                std::u16string_view pResult);

// The last run's result file removed at the start of a run, so that a run
// that dies leaves none that tells of another: only a file SaveResult
// would replace. Anything else at the name, or a name that cannot be
// looked at, stays, and why is handed back: this run's outcome could not
// replace it either, so what it holds would outlive the run, and the
// caller refuses the run. A failed deletion of the tool's own file is no
// such reason: writing the result reports it, as it always has.
std::optional<std::u16string> RemoveResult(platform::Platform& p, std::u16string_view pFilename);
// The same judgement, with nothing removed, for --check.
std::optional<std::u16string> whyTheResultCannotBeReplaced(platform::Platform& p, std::u16string_view pFilename);

}  // namespace usqz

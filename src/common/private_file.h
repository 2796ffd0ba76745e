// Files the elevated run writes beside what it works on (its journal, its
// report, its result file): created new, so that nothing already at the
// name (a link above all) is ever written through. The journal and the
// report are readable and changeable only by SYSTEM, Administrators and
// the tool's own account; the result file is read by whoever ran the tool.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_and_process.h"
#include "platform/file_security.h"
#include "platform/processes.h"

namespace usqz {

struct PrivateFileResult {
  platform::FileOpenResult opened;
  // What stands at the name is not a leftover of the tool's: it stays.
  bool someoneElses = false;
};

// A leftover of a run that died at the name (a plain file with one name
// that only an administrator could have written) is removed first;
// anything else there is someone else's and is left as it is.
PrivateFileResult createPrivateFileAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                                        const std::u16string& path);

// The same for a file the service will run (FileAndProcess::
// createRunnableFile): readable as `model` is, changeable by
// administrators alone.
PrivateFileResult createRunnableFileAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                                         const std::u16string& path, const std::u16string& model);

// `bytes` written to `temporary` (just created, open as `file`), flushed,
// and put in place of `path` in one step, so that a reader finds the old
// file whole or the new one whole; the temporary file is closed, and
// removed when anything failed.
platform::OsError putInPlace(platform::FileAndProcess& files, platform::FileHandle file,
                             const std::u16string& temporary, const std::u16string& path, std::string_view bytes);

// Who may read a file written anew.
enum class Readers {
  Administrators,  // createPrivateFile's rights
  AsTheFolderSays,  // the rights its folder passes on, as any file there
};

// `bytes` put in place of `path` through a temporary file beside it, under
// a name nobody can guess (path.<16 hex digits>.tmp), created new: nothing
// found near the name is ever written through or deleted, and the replace
// takes the name itself, never what a link there leads to.
platform::OsError writeAnew(platform::FileAndProcess& files, platform::Processes& processes,
                            const std::u16string& path, std::string_view bytes, Readers readers);

}  // namespace usqz

// Files the elevated run writes beside what it works on (its journal, its
// report): created new, so that nothing already at the name (a link above
// all) is ever written through, and readable and changeable only by
// SYSTEM, Administrators and the tool's own account.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_and_process.h"
#include "platform/file_security.h"

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

}  // namespace usqz

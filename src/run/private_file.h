// Files the elevated run writes beside what it works on (its journal, its
// report): created new, so that nothing already at the name (a link above
// all) is ever written through, and readable and changeable only by
// SYSTEM, Administrators and the tool's own account.
#pragma once

#include <string>

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

}  // namespace usqz

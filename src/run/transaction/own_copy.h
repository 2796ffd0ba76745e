// The bytes the service will run are a copy the tool wrote itself: created
// new beside the executable, owned by Administrators and changeable by
// nobody but SYSTEM and Administrators, written and hashed in one pass over
// the new version held open. Whoever could write the new version (a pinned
// one may come from anywhere) cannot change what runs afterwards, and the
// copy needs no second read. Whoever may read and run the executable it
// replaces (the service's own account among them) may read and run it.
#pragma once

#include <string>

#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/file_security.h"

namespace usqz {

// Copies `source` into `copyPath` (a leftover of a dead run at that name is
// removed first; anything else there refuses), flushed and closed, with
// the rights of `model` (the executable it is to replace) as
// FileAndProcess::createRunnableFile gives them; a copy someone else could
// change after all is refused. The copy's SHA-256, or an error naming what
// failed; the copy is removed when anything fails.
std::u16string copyIntoOwnFile(platform::FileAndProcess& files, platform::FileSecurity& security,
                               platform::ErrorTexts& texts, platform::FileHandle source,
                               const std::u16string& copyPath, const std::u16string& model);

}  // namespace usqz

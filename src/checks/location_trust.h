// Who could have written what the run acts on. The tool runs elevated, and
// everything in its folder is input from whoever may write there: the new
// version is activated from a folder only administrators can write, or
// with its content pinned by the administrator (a hash or a signature,
// checked on the file held open until it moves); the new version is a
// plain file with one name, never a link to someone else's.
#pragma once

#include <optional>
#include <string>

#include "cli/command_line.h"
#include "platform/file_security.h"
#include "platform/platform.h"

namespace usqz {

// Why only an administrator could not have written it, in the run's
// Portuguese ("pode ser alterado por Everyone"); nothing when only one could.
std::optional<std::u16string> whyUntrusted(const platform::FileFacts& facts);

// The tool's folder and the three executables: refused unless only
// administrators may write them or the options pin the new version.
void checkLocation(platform::Platform& platform, const Options& options, const Names& names);

// The new version is a plain file with one name.
void checkPlainNewVersion(platform::FileSecurity& security, platform::ErrorTexts& texts, const Names& names);

}  // namespace usqz

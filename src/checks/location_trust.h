// Who could have written what the run acts on. The tool runs elevated, and
// everything in its folder is input from whoever may write there: the
// folder, the executable and its backup only administrators may write;
// the new version too, unless its content is pinned by the administrator
// (a hash or a signature, checked on the copy the tool makes of it); the
// new version is a plain file with one name, never a link to someone
// else's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "platform/file_security.h"
#include "platform/platform.h"

namespace usqz {

// Why only an administrator could not have written it, in the run's
// Portuguese ("pode ser alterado por Everyone"); nothing when only one could.
std::optional<std::u16string> whyUntrusted(const platform::FileFacts& facts);

// The tool's folder, the executable and its backup (and a rollback's own
// name): refused unless only administrators may write them, whatever the
// options.
void checkWhereTheToolActs(platform::Platform& platform, const Names& update, const Names& names);

// The path without the "\\?\" a final path carries.
std::u16string displayPath(std::u16string_view path);
// The folders that hold `folder`, nearest first, up to its volume's root.
std::vector<std::u16string> foldersAbove(std::u16string_view folder);
// A folder where it really is (links resolved), and every folder above it:
// nobody but an administrator may change the one, or delete, rename or
// re-permission the others, or delete what they hold.
void checkFolderChain(platform::Platform& platform, const std::u16string& folder);

// Why a file the elevated run executes (a health command's program or
// script) may be someone else's: the file where it really is, its folder
// and every folder above; nothing when only administrators could change it.
std::optional<std::u16string> whyRunUntrusted(platform::Platform& platform, const std::u16string& path);

// The version about to be activated: refused unless only administrators
// may write it or the options pin an update's new version (which is then
// copied, never run from where it was written).
void checkNewVersionLocation(platform::Platform& platform, const Options& options, const Names& names);

// The new version is a plain file with one name.
void checkPlainNewVersion(platform::FileSecurity& security, platform::ErrorTexts& texts, const Names& names);

}  // namespace usqz

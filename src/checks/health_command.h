// The program a health command runs is the one the administrator named,
// found by the tool rather than by the system's guessing: an elevated tool
// that let CreateProcess try "C:\has.exe" for "C:\has space\check.cmd"
// would run whatever another user planted there.
//
//   an absolute path, blanks allowed: the longest prefix of the value that
//     names an existing file, tried from the longest (never a shorter one
//     when a longer one exists); what follows is its arguments.
//     .exe runs itself, .cmd and .bat run through System32's cmd.exe, .ps1
//     through Windows PowerShell (-NoProfile -ExecutionPolicy Bypass -File);
//   an absolute path in double quotes: that very file;
//   a bare name: a program in System32 (".exe" added when it has no
//     extension), and nowhere else;
//   anything else is refused.
#pragma once

#include <optional>
#include <string>

#include "common/names.h"
#include "common/options.h"
#include "platform/platform.h"

namespace usqz {

// Fills in each command's program and command line; why not, for the first
// that cannot be resolved.
std::optional<std::u16string> resolveHealthCommands(platform::FileAndProcess& files, Options& options);

// The elevated run executes them: each resolved command's program, and its
// script, must be a file only administrators may change, in folders only
// they may change (System32's programs are). Why not, for the first that
// is not.
std::optional<std::u16string> untrustedHealthCommand(platform::Platform& p, const Options& options);

}  // namespace usqz

// Reading the command line: splitting it into arguments, finding the service
// name and the options (common/options.h says what they are).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "platform/file_and_process.h"
#include "platform/text.h"

namespace usqz {

// Splits a whole command line; the result starts with the program's name.
// Blanks and control characters (code 32 or below) separate arguments. A
// double quote anywhere starts a stretch that runs to the next one or to the
// end; the quotes are dropped. There is no escape character, and a pair of
// quotes with nothing between them where an argument would begin yields no
// argument.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

// The arguments with the program's name first, however the platform gives them.
std::vector<std::u16string> programArguments(const platform::CommandLine& commandLine);

// The value after the last "--service-name" (the empty text when that option
// is the last argument); every other argument is ignored.
std::u16string scanServiceName(const std::vector<std::u16string>& arguments);

// The options besides the service name, each spelled exactly so and
// anywhere on the command line; a value taken by "--service-name" is a
// name, not an option. Any other argument that begins with "--" (and is
// not an option's value) makes the command line malformed, naming the
// option it resembles; so does an option's name behind a hyphen or a
// slash, or behind dashes a document typeset, which the caller surely
// meant as that option. Other arguments are ignored.
Options scanOptions(const std::vector<std::u16string>& arguments);

}  // namespace usqz

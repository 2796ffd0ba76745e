#include "cli/command_line.h"

namespace usqz {

namespace {

bool isSeparator(char16_t c) { return c <= u' '; }

}  // namespace

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  const auto at = [&](std::size_t k) -> char16_t { return k < line.size() ? line[k] : u'\0'; };
  for (;;) {
    for (;;) {
      while (i < line.size() && isSeparator(line[i])) ++i;
      if (at(i) == u'"' && at(i + 1) == u'"' && i + 1 < line.size()) {
        i += 2;
      } else {
        break;
      }
    }
    if (i >= line.size()) break;
    std::u16string argument;
    while (i < line.size() && !isSeparator(line[i])) {
      if (line[i] == u'"') {
        ++i;
        while (i < line.size() && line[i] != u'"') argument += line[i++];
        if (i < line.size()) ++i;
      } else {
        argument += line[i++];
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::vector<std::u16string> programArguments(const platform::CommandLine& commandLine) {
  return commandLine.isSplit ? commandLine.arguments : splitCommandLine(commandLine.whole);
}

std::u16string scanServiceName(const std::vector<std::u16string>& arguments) {
  std::u16string serviceName;
  for (std::size_t idx = 1; idx < arguments.size(); ++idx) {
    if (arguments[idx] == u"--service-name") {
      serviceName = idx + 1 < arguments.size() ? arguments[idx + 1] : std::u16string();
    }
  }
  return serviceName;
}

Options scanOptions(const std::vector<std::u16string>& arguments) {
  Options options;
  options.serviceName = scanServiceName(arguments);
  for (std::size_t idx = 1; idx < arguments.size(); ++idx) {
    // What follows "--service-name" is a name, whatever it says.
    if (idx >= 2 && arguments[idx - 1] == u"--service-name") continue;
    if (arguments[idx] == u"--exit-code") options.exitCode = true;
    if (arguments[idx] == u"--stop-dependents") options.stopDependents = true;
  }
  return options;
}

std::u16string_view directoryOf(std::u16string_view path) {
  // '/' never appears in a Windows module path; it lets POSIX builds find
  // their own directory too.
  const auto last = path.find_last_of(u"\\:/");
  return last == std::u16string_view::npos ? std::u16string_view() : path.substr(0, last + 1);
}

std::u16string_view fileNameOf(std::u16string_view path) { return path.substr(directoryOf(path).size()); }

Names deriveNames(std::u16string_view serviceName, std::u16string_view ownExecutablePath) {
  Names names;
  names.serviceName = serviceName;
  names.itemName = serviceName.size() > 2 ? serviceName.substr(2) : std::u16string_view();
  names.logFilename = u"updateServiceQZ-" + names.serviceName + u".txt";
  const auto stem = std::u16string(directoryOf(ownExecutablePath)) + u"qz_" + names.itemName;
  names.pathCurrentBin = stem + u".exe";
  names.pathNewBin = stem + u".new";
  names.pathOldBin = stem + u".old";
  names.pathJournal = stem + u".journal";
  return names;
}

}  // namespace usqz

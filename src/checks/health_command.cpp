#include "checks/health_command.h"

#include "checks/location_trust.h"
#include "platform/text.h"

namespace usqz {

namespace {

std::u16string quoted(const std::u16string& path) { return u"\"" + path + u"\""; }

std::u16string extensionOf(const std::u16string& path) {
  const auto dot = path.find_last_of(u'.');
  const auto slash = path.find_last_of(u"\\/");
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return {};
  return toAsciiLower(path.substr(dot));
}

bool isAbsolute(std::u16string_view value) {
  const bool drive = value.size() >= 3 && value[1] == u':' && (value[2] == u'\\' || value[2] == u'/') &&
                     ((value[0] >= u'A' && value[0] <= u'Z') || (value[0] >= u'a' && value[0] <= u'z'));
  return drive || value.rfind(u"\\\\", 0) == 0;
}

// How Windows runs a file of this kind; why not, when it is none of them.
std::optional<std::u16string> runAs(platform::FileAndProcess& files, HealthCheck& check, const std::u16string& path,
                                    std::u16string_view arguments) {
  const auto extension = extensionOf(path);
  const auto system = files.systemDirectory();
  const std::u16string rest = arguments.empty() ? u"" : u" " + std::u16string(arguments);
  check.script.clear();
  if (extension == u".exe") {
    check.program = path;
    check.commandLine = quoted(path) + rest;
  } else if (extension == u".cmd" || extension == u".bat") {
    check.program = system + u"\\cmd.exe";
    check.script = path;
    // cmd drops the outer quotes and keeps the path's own.
    check.commandLine = quoted(check.program) + u" /d /c \"" + quoted(path) + rest + u"\"";
  } else if (extension == u".ps1") {
    check.program = system + u"\\WindowsPowerShell\\v1.0\\powershell.exe";
    check.script = path;
    check.commandLine =
        quoted(check.program) + u" -NoProfile -ExecutionPolicy Bypass -File " + quoted(path) + rest;
  } else {
    return u"--health-command " + check.target + u": " + path + u" não é .exe, .cmd, .bat nem .ps1";
  }
  return std::nullopt;
}

std::optional<std::u16string> resolve(platform::FileAndProcess& files, HealthCheck& check) {
  std::u16string_view value = check.target;
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
  // A path in quotes is taken as it is: nothing to guess.
  if (!value.empty() && value.front() == u'"') {
    const auto close = value.find(u'"', 1);
    const std::u16string path(value.substr(1, close == std::u16string_view::npos ? 0 : close - 1));
    if (close == std::u16string_view::npos || !isAbsolute(path) || !files.fileExists(path)) {
      return u"--health-command " + check.target + u": nenhum arquivo com esse caminho";
    }
    auto arguments = value.substr(close + 1);
    while (!arguments.empty() && isBlank(arguments.front())) arguments.remove_prefix(1);
    return runAs(files, check, path, arguments);
  }
  if (isAbsolute(value)) {
    // Every prefix that ends before a blank, and the whole value, longest
    // first.
    for (std::size_t end = value.size(); end > 0;) {
      const std::u16string candidate(value.substr(0, end));
      if (files.fileExists(candidate)) {
        auto arguments = value.substr(end);
        while (!arguments.empty() && isBlank(arguments.front())) arguments.remove_prefix(1);
        return runAs(files, check, candidate, arguments);
      }
      const auto blank = value.find_last_of(u" \t", end - 1);
      if (blank == std::u16string_view::npos) break;
      end = blank;
      while (end > 0 && isBlank(value[end - 1])) --end;
    }
    return u"--health-command " + check.target + u": nenhum arquivo com esse caminho";
  }
  const auto blank = value.find_first_of(u" \t");
  const std::u16string name(value.substr(0, blank));
  if (name.find_first_of(u"\\/:") != std::u16string::npos) {
    return u"--health-command " + check.target + u": use um caminho completo ou um programa do sistema";
  }
  auto arguments = blank == std::u16string_view::npos ? std::u16string_view() : value.substr(blank);
  while (!arguments.empty() && isBlank(arguments.front())) arguments.remove_prefix(1);
  const auto path = files.systemDirectory() + u"\\" + name + (extensionOf(name).empty() ? u".exe" : u"");
  if (!files.fileExists(path)) {
    return u"--health-command " + check.target + u": " + name + u" não é um programa do sistema (" +
           files.systemDirectory() + u"); use um caminho completo";
  }
  return runAs(files, check, path, arguments);
}

}  // namespace

std::optional<std::u16string> resolveHealthCommands(platform::FileAndProcess& files, Options& options) {
  for (auto& check : options.health) {
    if (check.kind != HealthCheck::Kind::Command) continue;
    if (auto why = resolve(files, check)) return why;
  }
  return std::nullopt;
}

std::optional<std::u16string> untrustedHealthCommand(platform::Platform& p, const Options& options) {
  for (const auto& check : options.health) {
    if (check.kind != HealthCheck::Kind::Command) continue;
    for (const auto* file : {&check.program, &check.script}) {
      if (file->empty()) continue;
      if (auto why = whyRunUntrusted(p, *file)) return u"--health-command " + check.target + u": " + *why;
    }
  }
  return std::nullopt;
}

}  // namespace usqz

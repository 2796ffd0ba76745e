#include "cli/command_line.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "common/option_values.h"
#include "platform/text.h"

namespace usqz {

namespace {

bool isSeparator(char16_t c) { return c <= u' '; }

// Every option the tool knows, as it must be spelled.
constexpr std::u16string_view kOptions[] = {
    u"--service-name",     u"--release",          u"--exit-code",      u"--stop-dependents", u"--check",
    u"--no-downgrade",     u"--rollback",         u"--event-log",      u"--report",          u"--require-signature",
    u"--check-revocation", u"--same-signer",      u"--signer",         u"--sha256",          u"--health-url",
    u"--health-tcp",       u"--health-command",   u"--health-timeout", u"--watch",          u"--health-interval",
    u"--health-failures",
};

std::u16string lowerAscii(std::u16string_view text) {
  std::u16string lower(text);
  for (auto& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return lower;
}

// Insertions, deletions, substitutions and swaps of neighbours that turn
// one text into the other.
std::size_t editDistance(std::u16string_view a, std::u16string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The option a mistyped one most likely meant: the same letters in
// another case, the option with its value joined by "=", or one a slip or
// two away; nothing when none is that close.
std::optional<std::u16string_view> resembled(std::u16string_view argument) {
  auto typed = lowerAscii(argument);
  if (const auto equals = typed.find(u'='); equals != std::u16string::npos) typed.resize(equals);
  std::optional<std::u16string_view> closest;
  std::size_t best = 3;
  for (const auto option : kOptions) {
    const auto distance = editDistance(typed, option);
    if (distance < best) {
      best = distance;
      closest = option;
    }
  }
  return closest;
}

// Hyphens, dashes and the minus sign: what a document's typesetting makes
// of the two hyphens an option begins with.
bool isDash(char16_t c) { return c == u'-' || (c >= u'\u2010' && c <= u'\u2015') || c == u'\u2212'; }

// The option an argument names behind a prefix that is not "--": a hyphen
// or a slash before an option's very name ("-sha256", "/Require-Signature",
// "-sha256=..."), or dashes a document set as en or em dashes before
// anything that resembles one ("\u2013sha256", "\u2014no-downgrad"). A
// hyphen or a slash before any other word is the caller's own, as it
// always was; a typeset dash begins no word anyone types.
std::optional<std::u16string_view> misprefixed(std::u16string_view argument) {
  if (argument.rfind(u"--", 0) == 0) return std::nullopt;  // judged as an option
  std::size_t dashes = 0;
  while (dashes < argument.size() && isDash(argument[dashes])) ++dashes;
  const bool typeset = argument.substr(0, dashes).find_first_not_of(u'-') != std::u16string_view::npos;
  std::size_t prefix = dashes;
  if (dashes == 0 && !argument.empty() && argument[0] == u'/') prefix = 1;
  const auto rest = argument.substr(prefix);
  if (prefix == 0 || rest.empty()) return std::nullopt;
  auto name = lowerAscii(rest);
  if (const auto equals = name.find(u'='); equals != std::u16string::npos) name.resize(equals);
  for (const auto option : kOptions) {
    if (option.substr(2) == name) return option;
  }
  if (typeset) return resembled(u"--" + std::u16string(rest));
  return std::nullopt;
}

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
  // Options that take the next argument as their value, whatever it says.
  const auto takesValue = [](const std::u16string& option) {
    return option == u"--service-name" || option == u"--signer" || option == u"--sha256" ||
           option == u"--health-url" || option == u"--health-tcp" || option == u"--health-command" ||
           option == u"--health-timeout" || option == u"--watch" || option == u"--health-interval" ||
           option == u"--health-failures" || option == u"--report" || option == u"--release";
  };
  const auto refuse = [&options](std::u16string why) {
    if (options.malformed.empty()) options.malformed = std::move(why);
  };
  const auto numberValue = [&](std::uint32_t& field, OptionValue<std::uint32_t> read) {
    if (read.value) {
      field = *read.value;
    } else {
      refuse(std::move(read.refused));
    }
  };
  // Only a watch tries the checks at an interval and counts their
  // failures: either without one is a mistake, not a no-op. The first
  // given is named.
  std::u16string_view needsWatch;
  const auto healthValue = [&](OptionValue<HealthCheck> read) {
    if (read.value) {
      options.health.push_back(std::move(*read.value));
    } else {
      refuse(std::move(read.refused));
    }
  };
  for (std::size_t idx = 1; idx < arguments.size(); ++idx) {
    if (idx >= 2 && takesValue(arguments[idx - 1])) continue;
    const auto& argument = arguments[idx];
    // A safety option mistyped must not leave the run unchecked: what
    // looks like an option and is none is refused.
    if (argument.rfind(u"--", 0) == 0 &&
        std::find(std::begin(kOptions), std::end(kOptions), argument) == std::end(kOptions)) {
      std::u16string why = argument + u": opção desconhecida";
      if (const auto meant = resembled(argument)) why += u" (seria " + std::u16string(*meant) + u"?)";
      refuse(std::move(why));
    } else if (const auto meant = misprefixed(argument)) {
      refuse(argument + u": opção sem o prefixo -- (seria " + std::u16string(*meant) + u"?)");
    }
    const bool hasValue = idx + 1 < arguments.size();
    const std::u16string value = hasValue ? arguments[idx + 1] : std::u16string();
    if (argument == u"--exit-code") options.exitCode = true;
    if (argument == u"--stop-dependents") options.stopDependents = true;
    if (argument == u"--check") options.checkOnly = true;
    if (argument == u"--no-downgrade") options.noDowngrade = true;
    if (argument == u"--rollback") options.rollback = true;
    if (argument == u"--event-log") options.eventLog = true;
    if (argument == u"--report") {
      if (value.empty()) {
        refuse(u"--report sem arquivo");
      } else {
        options.reportPath = value;
      }
    }
    if (argument == u"--release") {
      if (value.empty()) {
        refuse(u"--release sem arquivo");
      } else {
        options.releasePath = value;
      }
    }
    if (argument == u"--require-signature") options.requireSignature = true;
    if (argument == u"--check-revocation") options.checkRevocation = options.requireSignature = true;
    if (argument == u"--same-signer") options.sameSigner = options.requireSignature = true;
    if (argument == u"--signer") {
      options.requireSignature = true;
      if (normalizedHex(value, 40)) {
        refuse(u"--signer " + value + u": é uma impressão SHA-1; use a SHA-256 do certificado");
      } else if (const auto thumbprint = normalizedHex(value, 64)) {
        options.signers.push_back(*thumbprint);
      } else if (value.empty()) {
        refuse(u"--signer sem valor");
      } else {
        options.signers.push_back(value);
      }
    }
    if (argument == u"--health-url") healthValue(healthUrlValue(value));
    if (argument == u"--health-tcp") healthValue(healthTcpValue(value));
    if (argument == u"--health-command") healthValue(healthCommandValue(value));
    if (argument == u"--health-timeout") {
      const auto seconds = healthTimeoutValue(value);
      if (seconds.value) {
        options.healthTimeoutSeconds = *seconds.value;
      } else {
        refuse(seconds.refused);
      }
    }
    if (argument == u"--watch") numberValue(options.watchSeconds, watchValue(value));
    if (argument == u"--health-interval") {
      if (needsWatch.empty()) needsWatch = argument;
      numberValue(options.healthIntervalSeconds, healthIntervalValue(value));
    }
    if (argument == u"--health-failures") {
      if (needsWatch.empty()) needsWatch = argument;
      numberValue(options.healthFailures, healthFailuresValue(value));
    }
    if (argument == u"--sha256") {
      if (auto hash = sha256Value(value); hash.value) {
        options.sha256 = std::move(*hash.value);
      } else {
        refuse(std::move(hash.refused));
      }
    }
  }
  if (!options.releasePath.empty() && !options.serviceName.empty()) {
    refuse(u"--release e --service-name: use um ou outro");
  }
  if (!options.releasePath.empty() && (!options.sha256.empty() || !options.health.empty())) {
    refuse(u"com --release, --sha256 e --health-url, --health-tcp, --health-command vão no arquivo, por serviço");
  }
  if (options.watchSeconds == 0 && !needsWatch.empty()) refuse(std::u16string(needsWatch) + u" sem --watch");
  if (options.watchSeconds != 0 && options.rollback) refuse(u"--watch e --rollback: use um ou outro");
  return options;
}


}  // namespace usqz

#include "cli/command_line.h"

#include "platform/text.h"

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

std::optional<std::u16string> normalizedHex(std::u16string_view text, std::size_t digits) {
  std::u16string hex;
  for (const char16_t c : text) {
    if (c == u' ' || c == u':' || c == u'\t' || c == u'\u200E' || c == u'\u200F' || c == u'\uFEFF') continue;
    if (c >= u'0' && c <= u'9') {
      hex += c;
    } else if ((c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')) {
      hex += static_cast<char16_t>(c | 0x20);
    } else {
      return std::nullopt;
    }
  }
  if (hex.size() != digits) return std::nullopt;
  return hex;
}

namespace {

std::optional<std::uint64_t> wholeNumber(std::u16string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  return value;
}

// host:port, [IPv6]:port or name:port.
std::optional<HealthCheck> tcpCheck(std::u16string_view value) {
  std::u16string_view host;
  std::u16string_view port;
  if (!value.empty() && value.front() == u'[') {
    const auto close = value.find(u"]:");
    if (close == std::u16string_view::npos) return std::nullopt;
    host = value.substr(1, close - 1);
    port = value.substr(close + 2);
  } else {
    const auto colon = value.rfind(u':');
    if (colon == std::u16string_view::npos || value.find(u':') != colon) return std::nullopt;
    host = value.substr(0, colon);
    port = value.substr(colon + 1);
  }
  const auto number = wholeNumber(port);
  if (host.empty() || !number || *number < 1 || *number > 65535) return std::nullopt;
  return HealthCheck{HealthCheck::Kind::Tcp, std::u16string(host), static_cast<std::uint16_t>(*number), {}, {}, {}};
}

}  // namespace

Options scanOptions(const std::vector<std::u16string>& arguments) {
  Options options;
  options.serviceName = scanServiceName(arguments);
  // Options that take the next argument as their value, whatever it says.
  const auto takesValue = [](const std::u16string& option) {
    return option == u"--service-name" || option == u"--signer" || option == u"--sha256" ||
           option == u"--health-url" || option == u"--health-tcp" || option == u"--health-command" ||
           option == u"--health-timeout" || option == u"--report" || option == u"--release";
  };
  const auto refuse = [&options](std::u16string why) {
    if (options.malformed.empty()) options.malformed = std::move(why);
  };
  for (std::size_t idx = 1; idx < arguments.size(); ++idx) {
    if (idx >= 2 && takesValue(arguments[idx - 1])) continue;
    const auto& argument = arguments[idx];
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
    if (argument == u"--health-url") {
      const auto lower = toAsciiLower(value.substr(0, 8));
      if ((lower.rfind(u"http://", 0) == 0 && value.size() > 7) || (lower.rfind(u"https://", 0) == 0 && value.size() > 8)) {
        options.health.push_back({HealthCheck::Kind::Url, value, 0, {}, {}, {}});
      } else {
        refuse(u"--health-url " + value + u": não é um endereço http:// ou https://");
      }
    }
    if (argument == u"--health-tcp") {
      if (const auto check = tcpCheck(value)) {
        options.health.push_back(*check);
      } else {
        refuse(u"--health-tcp " + value + u": não é host:porta (porta de 1 a 65535; IPv6 entre colchetes)");
      }
    }
    if (argument == u"--health-command") {
      if (value.find_first_not_of(u" \t") != std::u16string::npos) {
        options.health.push_back({HealthCheck::Kind::Command, value, 0, {}, {}, {}});
      } else {
        refuse(u"--health-command sem comando");
      }
    }
    if (argument == u"--health-timeout") {
      const auto seconds = wholeNumber(value);
      if (seconds && *seconds >= 1 && *seconds <= 3600) {
        options.healthTimeoutSeconds = static_cast<std::uint32_t>(*seconds);
      } else {
        refuse(u"--health-timeout " + value + u": de 1 a 3600 segundos");
      }
    }
    if (argument == u"--sha256") {
      if (const auto hash = normalizedHex(value, 64)) {
        options.sha256 = *hash;
      } else {
        refuse(u"--sha256 " + value + u": não é um SHA-256 (64 dígitos hexadecimais)");
      }
    }
  }
  if (!options.releasePath.empty() && !options.serviceName.empty()) {
    refuse(u"--release e --service-name: use um ou outro");
  }
  if (!options.releasePath.empty() && (!options.sha256.empty() || !options.health.empty())) {
    refuse(u"com --release, --sha256 e --health-url, --health-tcp, --health-command vão no arquivo, por serviço");
  }
  return options;
}


}  // namespace usqz

#include "cli/command_line.h"

#include "common/option_values.h"
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
      const auto seconds = wholeNumber(value);
      if (seconds && *seconds >= 1 && *seconds <= 3600) {
        options.healthTimeoutSeconds = static_cast<std::uint32_t>(*seconds);
      } else {
        refuse(u"--health-timeout " + value + u": de 1 a 3600 segundos");
      }
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
  return options;
}


}  // namespace usqz

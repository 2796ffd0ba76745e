#include "run/service/health_check.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace usqz {

namespace {

using platform::ProbeAnswer;

// Each try gets this long at most; tries are this far apart.
constexpr std::uint32_t kTryMs = 5'000;
constexpr std::uint32_t kSpacingMs = 250;

std::u16string whatOf(const HealthCheck& check) {
  switch (check.kind) {
    case HealthCheck::Kind::Url: return check.target;
    case HealthCheck::Kind::Tcp: {
      const bool v6 = check.target.find(u':') != std::u16string::npos;
      return u"tcp " + (v6 ? u"[" + check.target + u"]" : check.target) + u":" + toDecimal(check.port);
    }
    case HealthCheck::Kind::Command: break;
  }
  return u"comando " + check.target;
}

bool passes(const HealthCheck& check, const ProbeAnswer& answer) {
  if (answer.kind != ProbeAnswer::Kind::Answered) return false;
  switch (check.kind) {
    case HealthCheck::Kind::Url: return answer.code >= 200 && answer.code < 300;
    case HealthCheck::Kind::Tcp: return true;
    case HealthCheck::Kind::Command: break;
  }
  return answer.code == 0;
}

// WinHTTP's errors, which the system's own message table does not word.
std::u16string_view winHttpErrorName(platform::OsError error) {
  switch (error) {
    case 12002: return u"ERROR_WINHTTP_TIMEOUT";
    case 12004: return u"ERROR_WINHTTP_INTERNAL_ERROR";
    case 12005: return u"ERROR_WINHTTP_INVALID_URL";
    case 12006: return u"ERROR_WINHTTP_UNRECOGNIZED_SCHEME";
    case 12007: return u"ERROR_WINHTTP_NAME_NOT_RESOLVED";
    case 12017: return u"ERROR_WINHTTP_OPERATION_CANCELLED";
    case 12029: return u"ERROR_WINHTTP_CANNOT_CONNECT";
    case 12030: return u"ERROR_WINHTTP_CONNECTION_ERROR";
    case 12037: return u"ERROR_WINHTTP_SECURE_CERT_DATE_INVALID";
    case 12038: return u"ERROR_WINHTTP_SECURE_CERT_CN_INVALID";
    case 12044: return u"ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED";
    case 12045: return u"ERROR_WINHTTP_SECURE_INVALID_CA";
    case 12152: return u"ERROR_WINHTTP_INVALID_SERVER_RESPONSE";
    case 12156: return u"ERROR_WINHTTP_REDIRECT_FAILED";
    case 12157: return u"ERROR_WINHTTP_SECURE_CHANNEL_ERROR";
    case 12166: return u"ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT";
    case 12167: return u"ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT";
    case 12169: return u"ERROR_WINHTTP_SECURE_INVALID_CERT";
    case 12170: return u"ERROR_WINHTTP_SECURE_CERT_REVOKED";
    case 12175: return u"ERROR_WINHTTP_SECURE_FAILURE";
    case 12178: return u"ERROR_WINHTTP_AUTODETECTION_FAILED";
    case 12179: return u"ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE";
    case 12180: return u"ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR";
    default: return {};
  }
}

}  // namespace

HealthWait::HealthWait(platform::Platform& platform, Console& console, const Options& options)
    : p_(platform), console_(console), options_(options) {}

std::optional<std::u16string> HealthWait::untilHealthy(ServiceWaits& waits) {
  const auto& checks = options_.health;
  const std::uint64_t limit = std::uint64_t{options_.healthTimeoutSeconds} * 1000;
  const auto started = p_.clock.monotonicMilliseconds();
  std::vector<bool> passed(checks.size(), false);
  std::vector<std::u16string> last(checks.size(), u"sem resposta");
  for (const auto& check : checks) console_.writeLine(u"Service :: verificando saúde: " + whatOf(check) + u" ...");
  lastFailed_ = true;
  lastResults_.assign(checks.size(), {});
  for (std::size_t i = 0; i < checks.size(); ++i) lastResults_[i] = {whatOf(checks[i]), last[i], false};
  for (;;) {
    for (std::size_t i = 0; i < checks.size(); ++i) {
      if (passed[i]) continue;
      const auto elapsed = p_.clock.monotonicMilliseconds() - started;
      if (elapsed >= limit) break;
      const auto budget = static_cast<std::uint32_t>(std::min<std::uint64_t>(kTryMs, limit - elapsed));
      const auto& check = checks[i];
      const auto answer = tryOnce(check, budget);
      last[i] = describe(check, answer);
      lastResults_[i] = {whatOf(check), last[i], passes(check, answer)};
      if (passes(check, answer)) {
        passed[i] = true;
        console_.writeLine(u"Service :: saudável (" + whatOf(check) + u": " + last[i] + u")");
      }
    }
    const auto failing = std::find(passed.begin(), passed.end(), false);
    if (failing == passed.end()) {
      lastFailed_ = false;
      return std::nullopt;
    }
    const auto& check = checks[static_cast<std::size_t>(failing - passed.begin())];
    const auto why = last[static_cast<std::size_t>(failing - passed.begin())];
    const auto elapsed = p_.clock.monotonicMilliseconds() - started;
    if (elapsed >= limit) {
      return u"A verificação de saúde não passou em " + toDecimal(options_.healthTimeoutSeconds) + u" s: " +
             whatOf(check) + u": " + why;
    }
    const auto pause = static_cast<std::uint32_t>(std::min<std::uint64_t>(kSpacingMs, limit - elapsed));
    if (waits.exitsWithin(pause)) {
      return u"O serviço parou durante a verificação de saúde: " + whatOf(check) + u": " + why;
    }
  }
}

std::optional<std::u16string> HealthWait::oneRound(std::uint32_t budgetMs) {
  const auto& checks = options_.health;
  std::optional<std::u16string> failed;
  lastResults_.assign(checks.size(), {});
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const auto& check = checks[i];
    const auto budget = std::min(kTryMs, budgetMs);
    const auto answer = tryOnce(check, budget);
    const auto said = describe(check, answer);
    lastResults_[i] = {whatOf(check), said, passes(check, answer)};
    if (!passes(check, answer) && !failed) failed = whatOf(check) + u": " + said;
  }
  lastFailed_ = failed.has_value();
  return failed;
}

ProbeAnswer HealthWait::tryOnce(const HealthCheck& check, std::uint32_t budgetMs) {
  switch (check.kind) {
    case HealthCheck::Kind::Url: return p_.probes.httpGet(check.target, budgetMs);
    case HealthCheck::Kind::Tcp: return p_.probes.tcpConnect(check.target, check.port, budgetMs);
    case HealthCheck::Kind::Command: break;
  }
  return p_.probes.runCommand(check.program, check.commandLine, budgetMs);
}

std::u16string HealthWait::describe(const HealthCheck& check, const ProbeAnswer& answer) {
  switch (answer.kind) {
    case ProbeAnswer::Kind::TimedOut: return u"sem resposta no tempo da tentativa";
    case ProbeAnswer::Kind::Refused: {
      // Every failure has a reason: the system's text, else the error's
      // name and number.
      if (auto text = p_.texts.describe(answer.error); !text.empty()) return text;
      const auto name = winHttpErrorName(answer.error);
      return (name.empty() ? u"erro" : std::u16string(name)) + u" (" + toDecimal(answer.error) + u")";
    }
    case ProbeAnswer::Kind::Answered: break;
  }
  switch (check.kind) {
    case HealthCheck::Kind::Url:
      if (answer.code >= 300 && answer.code < 400) {
        return u"HTTP " + toDecimal(answer.code) + u", redirecionado para " +
               (answer.location.empty() ? u"(sem Location)" : answer.location) + u", não seguido";
      }
      return u"HTTP " + toDecimal(answer.code);
    case HealthCheck::Kind::Tcp: return u"conectado";
    case HealthCheck::Kind::Command: break;
  }
  std::u16string said = u"código de saída " + toDecimal(answer.code);
  if (!answer.lastLine.empty()) said += u", " + answer.lastLine;
  return said;
}

}  // namespace usqz

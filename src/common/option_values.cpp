#include "common/option_values.h"

#include "common/duration_text.h"
#include "platform/text.h"

namespace usqz {

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

std::optional<std::uint64_t> wholeNumber(std::u16string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  return value;
}

OptionValue<std::uint32_t> healthTimeoutValue(std::u16string_view text) {
  const auto seconds = wholeNumber(text);
  if (seconds && *seconds >= 1 && *seconds <= 3600) return {static_cast<std::uint32_t>(*seconds), {}};
  return {std::nullopt, u"--health-timeout " + std::u16string(text) + u": de 1 a 3600 segundos"};
}

OptionValue<std::uint32_t> durationValue(std::u16string_view option, std::u16string_view text, std::uint32_t most) {
  std::uint64_t unit = 1;
  auto digits = text;
  if (!digits.empty()) {
    const char16_t last = digits.back();
    if (last == u's' || last == u'm' || last == u'h') {
      unit = last == u'h' ? 3600 : last == u'm' ? 60 : 1;
      digits.remove_suffix(1);
    }
  }
  // At most 9 digits: no count of hours overflows.
  const auto number = wholeNumber(digits);
  if (number && *number >= 1 && *number * unit <= most) return {static_cast<std::uint32_t>(*number * unit), {}};
  return {std::nullopt, std::u16string(option) + u" " + std::u16string(text) + u": de 1 s a " + durationText(most)};
}

OptionValue<std::uint32_t> watchValue(std::u16string_view text) { return durationValue(u"--watch", text, 24 * 3600); }

OptionValue<std::uint32_t> healthIntervalValue(std::u16string_view text) {
  return durationValue(u"--health-interval", text, 3600);
}

OptionValue<std::uint32_t> healthFailuresValue(std::u16string_view text) {
  const auto failures = wholeNumber(text);
  if (failures && *failures >= 1 && *failures <= 100) return {static_cast<std::uint32_t>(*failures), {}};
  return {std::nullopt, u"--health-failures " + std::u16string(text) + u": de 1 a 100 falhas seguidas"};
}

OptionValue<std::u16string> sha256Value(std::u16string_view text) {
  if (auto hash = normalizedHex(text, 64)) return {std::move(hash), {}};
  return {std::nullopt, u"--sha256 " + std::u16string(text) + u": não é um SHA-256 (64 dígitos hexadecimais)"};
}

OptionValue<HealthCheck> healthUrlValue(std::u16string_view text) {
  const auto lower = toAsciiLower(text.substr(0, 8));
  if ((lower.rfind(u"http://", 0) == 0 && text.size() > 7) || (lower.rfind(u"https://", 0) == 0 && text.size() > 8)) {
    return {HealthCheck{HealthCheck::Kind::Url, std::u16string(text), 0, {}, {}, {}}, {}};
  }
  return {std::nullopt, u"--health-url " + std::u16string(text) + u": não é um endereço http:// ou https://"};
}

OptionValue<HealthCheck> healthTcpValue(std::u16string_view text) {
  const auto refused = [text] {
    return OptionValue<HealthCheck>{
        std::nullopt,
        u"--health-tcp " + std::u16string(text) + u": não é host:porta (porta de 1 a 65535; IPv6 entre colchetes)"};
  };
  std::u16string_view host;
  std::u16string_view port;
  if (!text.empty() && text.front() == u'[') {
    const auto close = text.find(u"]:");
    if (close == std::u16string_view::npos) return refused();
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    // One colon only: an IPv6 address without its brackets is not a host.
    const auto colon = text.rfind(u':');
    if (colon == std::u16string_view::npos || text.find(u':') != colon) return refused();
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const auto number = wholeNumber(port);
  if (host.empty() || !number || *number < 1 || *number > 65535) return refused();
  const auto portNumber = static_cast<std::uint16_t>(*number);
  return {HealthCheck{HealthCheck::Kind::Tcp, std::u16string(host), portNumber, {}, {}, {}}, {}};
}

OptionValue<HealthCheck> healthCommandValue(std::u16string_view text) {
  if (text.find_first_not_of(u" \t") != std::u16string_view::npos) {
    return {HealthCheck{HealthCheck::Kind::Command, std::u16string(text), 0, {}, {}, {}}, {}};
  }
  return {std::nullopt, u"--health-command sem comando"};
}

}  // namespace usqz

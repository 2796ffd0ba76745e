// The values options take, read the same wherever they are written: on the
// command line, or for one service in a release file. A refusal is worded
// as the command line's, naming the option and the value, so that a value
// reads alike in both places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/options.h"

namespace usqz {

// A value read: what it says, or why it is refused.
template <typename T>
struct OptionValue {
  std::optional<T> value;
  std::u16string refused;  // empty when value holds
};

// A hash as administrators copy it (any case, blanks, colons and the
// invisible marks some certificate dialogs add): its lower-case hex digits
// when they are `digits` of them, else nothing.
std::optional<std::u16string> normalizedHex(std::u16string_view text, std::size_t digits);

// Decimal digits only, at most 9 of them.
std::optional<std::uint64_t> wholeNumber(std::u16string_view text);

// --sha256: the file's hash, lower-case.
OptionValue<std::u16string> sha256Value(std::u16string_view text);
// --health-timeout: whole seconds, from 1 to 3600.
OptionValue<std::uint32_t> healthTimeoutValue(std::u16string_view text);
// A length of time in seconds: a whole number, alone or with `s`, or with
// `m` or `h` for minutes or hours (`15`, `15s`, `10m`, `2h`), from 1 s to
// `most`; refused naming `option`, the value and the bounds
// (`--watch 25h: de 1 s a 24 h`).
OptionValue<std::uint32_t> durationValue(std::u16string_view option, std::u16string_view text, std::uint32_t most);
// --watch: from 1 s to 24 h.
OptionValue<std::uint32_t> watchValue(std::u16string_view text);
// --health-interval: from 1 s to 1 h.
OptionValue<std::uint32_t> healthIntervalValue(std::u16string_view text);
// --health-failures: a whole number, from 1 to 100.
OptionValue<std::uint32_t> healthFailuresValue(std::u16string_view text);
// --health-url: an http:// or https:// address with something after it.
OptionValue<HealthCheck> healthUrlValue(std::u16string_view text);
// --health-tcp: host:port, [IPv6]:port or name:port, port 1 to 65535.
OptionValue<HealthCheck> healthTcpValue(std::u16string_view text);
// --health-command: a command line with more than blanks in it.
OptionValue<HealthCheck> healthCommandValue(std::u16string_view text);

}  // namespace usqz

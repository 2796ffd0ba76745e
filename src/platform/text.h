// Small text helpers for the portable core. The tool keeps every name, path
// and message as UTF-16; these are the only conversions it does itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usqz {

// UTF-8 <-> UTF-16. Unpaired surrogates and malformed UTF-8 become U+FFFD,
// so no input text can make a conversion fail.
std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view text);

// Only the letters a-z change; every other code unit stays as it is.
std::u16string toAsciiUpper(std::u16string_view text);
std::u16string toAsciiLower(std::u16string_view text);

std::u16string toDecimal(std::int64_t value);
// The directory of a path, up to and including its last delimiter ('\\',
// ':', or '/', which never appears in a Windows module path and lets POSIX
// builds find their own directory too).
std::u16string_view directoryOf(std::u16string_view path);
// What follows that directory.
std::u16string_view fileNameOf(std::u16string_view path);

// The names one after another, ", " between them.
std::u16string joined(const std::vector<std::u16string>& names, std::u16string_view separator = u", ");

// A blank between a command line's words: a space or a tab.
inline bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
// `value`'s low `digits` hexadecimal digits, leading zeros kept.
std::u16string toHex(std::uint64_t value, unsigned digits, bool upperCase);

// A time as a person reads it, "2026-12-08 10:15:00 UTC" (seconds since
// 1970, UTC), and as ISO 8601 with milliseconds, "2026-12-08T10:15:00.123Z"
// (milliseconds since 1970, UTC).
std::string utcText(std::int64_t seconds);
std::string isoUtcText(std::int64_t milliseconds);

}  // namespace usqz

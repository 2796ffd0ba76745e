#include "platform/text.h"

namespace usqz {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void appendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
      c = kReplacement;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::u16string fromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (valid && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      appendUtf16(out, kReplacement);
      ++i;  // resynchronise on the next byte
      continue;
    }
    appendUtf16(out, cp);
    i += length;
  }
  return out;
}

std::u16string toAsciiUpper(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

std::u16string toAsciiLower(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

std::u16string_view directoryOf(std::u16string_view path) {
  const auto last = path.find_last_of(u"\\:/");
  return last == std::u16string_view::npos ? std::u16string_view() : path.substr(0, last + 1);
}

std::u16string_view fileNameOf(std::u16string_view path) { return path.substr(directoryOf(path).size()); }

std::u16string joined(const std::vector<std::u16string>& names, std::u16string_view separator) {
  std::u16string text;
  for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? u"" : std::u16string(separator)) + names[i];
  return text;
}

std::u16string toHex(std::uint64_t value, unsigned digits, bool upperCase) {
  const char16_t* alphabet = upperCase ? u"0123456789ABCDEF" : u"0123456789abcdef";
  std::u16string text(digits, u'0');
  for (auto at = text.rbegin(); at != text.rend(); ++at, value >>= 4) *at = alphabet[value & 0xF];
  return text;
}

std::u16string toDecimal(std::int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

namespace {

struct CivilTime {
  std::int64_t year, month, day, hour, minute, second;
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
CivilTime civilTimeOf(std::int64_t seconds) {
  const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86'399) / 86'400;
  const std::int64_t secondOfDay = seconds - days * 86'400;
  const std::int64_t z = days + 719'468;
  const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const std::int64_t dayOfEra = z - era * 146'097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day, secondOfDay / 3'600, secondOfDay / 60 % 60, secondOfDay % 60};
}

std::string padded(std::int64_t value, std::size_t digits) {
  auto text = std::to_string(value);
  return std::string(text.size() < digits ? digits - text.size() : 0, '0') + text;
}

}  // namespace

std::string utcText(std::int64_t seconds) {
  const auto t = civilTimeOf(seconds);
  return std::to_string(t.year) + "-" + padded(t.month, 2) + "-" + padded(t.day, 2) + " " + padded(t.hour, 2) + ":" +
         padded(t.minute, 2) + ":" + padded(t.second, 2) + " UTC";
}

std::string isoUtcText(std::int64_t milliseconds) {
  const std::int64_t seconds = (milliseconds >= 0 ? milliseconds : milliseconds - 999) / 1000;
  const auto t = civilTimeOf(seconds);
  return padded(t.year, 4) + "-" + padded(t.month, 2) + "-" + padded(t.day, 2) + "T" + padded(t.hour, 2) + ":" +
         padded(t.minute, 2) + ":" + padded(t.second, 2) + "." + padded(milliseconds - seconds * 1000, 3) + "Z";
}

}  // namespace usqz

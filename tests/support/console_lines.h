// Console lines as the tool writes them, for comparing output to the byte.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace usqz::testing {

// Text as the tool writes it to a file or a redirected console, in the
// ANSI code page (Windows-1252, here only its Latin-1 range).
inline std::string ansi(std::u16string_view text) {
  std::string bytes;
  for (const char16_t c : text) bytes += c < 0x100 ? static_cast<char>(c) : '?';
  return bytes;
}

// Each line followed by CR LF.
inline std::string lines(std::initializer_list<std::string> each) {
  std::string all;
  for (const auto& line : each) all += line + "\r\n";
  return all;
}

}  // namespace usqz::testing

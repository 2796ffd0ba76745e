// The one way into <windows.h>. Only files under platform/win32/ (and the
// Windows-only tests) may include this header.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <string>
#include <string_view>

namespace usqz::platform::win32 {

// char16_t and wchar_t are both UTF-16 code units on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// A NUL-terminated copy to hand to the API.
class WideZ {
 public:
  explicit WideZ(std::u16string_view text) : text_(text) {}
  const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(text_.c_str()); }

 private:
  std::u16string text_;
};

inline std::u16string fromWide(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace usqz::platform::win32

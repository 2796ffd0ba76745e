#include "error_text.h"

namespace usqz::platform {

std::u16string oneLineSystemMessage(std::u16string text) {
  while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
  std::u16string line;
  line.reserve(text.size());
  bool inBreak = false;
  for (const char16_t c : text) {
    if (c == u'\r' || c == u'\n') {
      if (!inBreak && !line.empty() && line.back() != u' ') line += u' ';
      inBreak = true;
      continue;
    }
    inBreak = false;
    line += c;
  }
  return line;
}

}  // namespace usqz::platform

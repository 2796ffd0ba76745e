#include "common/contained_path.h"

namespace usqz {

namespace {

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool onlyDotsAndBlanks(std::u16string_view component) {
  return component.find_first_not_of(u". ") == std::u16string_view::npos;
}

}  // namespace

bool staysInFolder(std::u16string_view relativeName) {
  if (relativeName.empty() || isSeparator(relativeName.front())) return false;
  if (relativeName.find(u':') != std::u16string_view::npos) return false;
  int depth = 0;
  std::size_t start = 0;
  while (start <= relativeName.size()) {
    std::size_t end = start;
    while (end < relativeName.size() && !isSeparator(relativeName[end])) ++end;
    const auto component = relativeName.substr(start, end - start);
    if (component == u"..") {
      if (--depth < 0) return false;
    } else if (component.empty() || component == u".") {
      // "a\\b" and "a\.\b" are "a\b".
    } else if (onlyDotsAndBlanks(component)) {
      return false;
    } else {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace usqz

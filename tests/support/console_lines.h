// Console lines as the tool writes them, for comparing output to the byte.
#pragma once

#include <initializer_list>
#include <string>

namespace usqz::testing {

// Each line followed by CR LF.
inline std::string lines(std::initializer_list<std::string> each) {
  std::string all;
  for (const auto& line : each) all += line + "\r\n";
  return all;
}

}  // namespace usqz::testing

// What the benchmarks read back: the test service's own log of when it was
// asked to stop and when it started, and the size of a file.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

namespace usqz::bench {

// The tick of the first "<tick> <event>" line of the service's log whose
// event is `wanted`.
inline bool eventTick(const std::string& log, const std::string& wanted, double& tick) {
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto space = line.find(' ');
    if (space != std::string::npos && line.substr(space + 1) == wanted) {
      tick = std::strtod(line.c_str(), nullptr);
      return true;
    }
  }
  return false;
}

// The middle value (the mean of the two middle ones for an even count).
inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline long long fileSize(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(reinterpret_cast<const wchar_t*>(path.c_str()), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace usqz::bench

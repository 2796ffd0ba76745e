#include "run_lock.h"

#include <cstdint>

namespace usqz {

std::u16string runLockName(std::u16string_view upperCaseServiceName) {
  // FNV-1a over the UTF-16 code units: stable from build to build, which a
  // lock shared between versions of the tool needs.
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char16_t unit : upperCaseServiceName) {
    for (const unsigned byte : {unsigned{unit} & 0xFFu, unsigned{unit} >> 8u}) {
      hash ^= byte;
      hash *= 0x100000001B3ULL;
    }
  }
  std::u16string name = u"Global\\UpdateServiceQZ-";
  for (int shift = 60; shift >= 0; shift -= 4) name += u"0123456789ABCDEF"[(hash >> shift) & 0xF];
  return name;
}

RunLock::RunLock(platform::FileAndProcess& os, std::u16string_view serviceName)
    : os_(os), result_(os.tryLock(runLockName(os.upperCase(serviceName)))) {}

RunLock::~RunLock() {
  if (result_.handle) os_.releaseLock(result_.handle);
}

}  // namespace usqz

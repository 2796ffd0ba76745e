#include "run/run_lock.h"

#include <cstdint>

#include "platform/text.h"

namespace usqz {

std::u16string runLockName(std::u16string_view upperCasePath) {
  // FNV-1a over the UTF-16 code units: stable from build to build, which a
  // lock shared between versions of the tool needs.
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char16_t unit : upperCasePath) {
    for (const unsigned byte : {unsigned{unit} & 0xFFu, unsigned{unit} >> 8u}) {
      hash ^= byte;
      hash *= 0x100000001B3ULL;
    }
  }
  std::u16string name = u"Global\\UpdateServiceQZ-";
  return name + toHex(hash, 16, true);
}

RunLock::RunLock(platform::Locks& locks, platform::FileAndProcess& files, std::u16string_view pathCurrentBin)
    : locks_(locks), result_(locks.tryLock(runLockName(files.upperCase(files.finalPath(pathCurrentBin))))) {}

RunLock::~RunLock() {
  if (result_.handle) locks_.releaseLock(result_.handle);
}

}  // namespace usqz

// POSIX systems have no Authenticode, and the tool has no hash of its own:
// a run that asks for either is refused as unverifiable.
#include "../native.h"

namespace usqz::platform {

namespace {

class UnavailableTrust final : public Trust {
 public:
  SignatureCheck checkSignature(FileHandle, std::u16string_view, std::uint32_t) override {
    return {SignatureStatus::Unverifiable, kErrorCallNotImplemented, {}};
  }
  HashResult sha256(FileHandle) override { return {{}, kErrorCallNotImplemented}; }
};

}  // namespace

std::unique_ptr<Trust> makeNativeTrust() { return std::make_unique<UnavailableTrust>(); }

}  // namespace usqz::platform

// Error texts where there is no system message table for the Windows codes
// the POSIX platform reports: only the one the run can meet here has words.
#include "../native.h"

namespace usqz::platform {

namespace {

class PosixErrorTexts final : public ErrorTexts {
 public:
  std::u16string describe(OsError code) override {
    if (code == kErrorCallNotImplemented) return u"This function is not supported on this system";
    return {};
  }
};

}  // namespace

std::unique_ptr<ErrorTexts> makeNativeErrorTexts() { return std::make_unique<PosixErrorTexts>(); }

}  // namespace usqz::platform

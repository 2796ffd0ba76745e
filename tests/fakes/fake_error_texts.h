// The system's error texts for tests: English as Windows words them, with
// the trailing full stop and line break the system adds, so that the run's
// trimming is exercised too. A test may give a code a text of its own.
#pragma once

#include <map>
#include <string>

#include "platform/error_text.h"

namespace usqz::platform::fake {

class FakeErrorTexts final : public ErrorTexts {
 public:
  void set(OsError code, std::u16string text) { texts_[code] = std::move(text); }

  std::u16string describe(OsError code) override {
    const auto it = texts_.find(code);
    return it == texts_.end() ? std::u16string() : oneLineSystemMessage(it->second);
  }

 private:
  std::map<OsError, std::u16string> texts_ = {
      {2, u"The system cannot find the file specified.\r\n"},
      {3, u"The system cannot find the path specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {32, u"The process cannot access the file because it is being used by another process.\r\n"},
      {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {183, u"Cannot create a file when that file already exists.\r\n"},
      {1052, u"The requested control is not valid for this service.\r\n"},
      {1053, u"The service did not respond to the start or control request in a timely fashion.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1066, u"The service has returned a service-specific error code.\r\n"},
      {1067, u"The process terminated unexpectedly.\r\n"},
      {1073, u"The specified service already exists.\r\n"},
  };
};

}  // namespace usqz::platform::fake

// The system's own words for an OS error code, as the run quotes them in its
// messages: for failed file steps and service calls alike. Portable header:
// win32/ asks the system's message table, posix/ knows the few codes the
// tool can meet there.
#pragma once

#include <string>

#include "file_and_process.h"

namespace usqz::platform {

class ErrorTexts {
 public:
  virtual ~ErrorTexts() = default;

  // The system's text for `code` as one line (see oneLineSystemMessage);
  // empty when the system has none.
  virtual std::u16string describe(OsError code) = 0;
};

// What every implementation does to the system's text: line breaks inside
// become blanks, so that the one-line result file stays one line, and the
// trailing blanks, control characters and full stops go.
std::u16string oneLineSystemMessage(std::u16string text);

}  // namespace usqz::platform

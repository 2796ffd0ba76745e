// Standard output as the tool writes it: opened at first use, converted to
// the console's code page on a console and to the ANSI code page when
// redirected, buffered in blocks of 128 bytes, written out at every line
// break on a console and only when the block fills (or at the end) otherwise.
// Also the report of an error that escapes every handler, on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_and_process.h"
#include "common/tool_error.h"

namespace usqz {

class Console {
 public:
  static constexpr std::size_t kBufferSize = 128;

  explicit Console(platform::FileAndProcess& os) : os_(os) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Throws an EInOutError when standard output cannot be opened or written,
  // unless the console is best effort.
  void writeLine(std::u16string_view text);
  // From now on a failed write does not throw: the first failure is kept
  // for the caller to report once its work is done, so that output lost
  // halfway never changes what a run does.
  void makeBestEffort() { bestEffort_ = true; }
  const std::optional<ToolError>& firstFailure() const { return firstFailure_; }
  // For the lines of a recovery from an error: the error being handled stays
  // the one reported, so a failing console is passed over.
  void writeLineIfPossible(std::u16string_view text);
  void flush();
  // At process end a failed write is not reported.
  void flushQuietly() noexcept;

 private:
  void open();
  void append(std::string_view bytes);
  void writeOut();
  void writeLineOrThrow(std::u16string_view text);

  platform::FileAndProcess& os_;
  bool isOpen_ = false;
  bool isConsole_ = false;
  std::string buffer_;
  bool bestEffort_ = false;
  std::optional<ToolError> firstFailure_;
};

// "Exception <kind> in module <module> at <address>." with the message on
// the next line and a blank line after it, in the OEM code page, straight
// to standard error. Failures are not reported: there is nowhere left to.
void reportEscapedError(platform::FileAndProcess& os, const ToolError& error, std::u16string_view module,
                        std::uint32_t codeAddress) noexcept;

}  // namespace usqz

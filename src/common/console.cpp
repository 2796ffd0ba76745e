#include "common/console.h"

#include "platform/text.h"

namespace usqz {

void Console::open() {
  if (isOpen_) return;
  const auto result = os_.openStdout();
  // Not remembered as failed: the next write tries again.
  if (result.error != platform::kOk) throw inOutError(result.error);
  isOpen_ = true;
  isConsole_ = result.isConsole;
}

void Console::writeLine(std::u16string_view text) {
  if (!bestEffort_) return writeLineOrThrow(text);
  try {
    writeLineOrThrow(text);
  } catch (const ToolError& error) {
    if (!firstFailure_) firstFailure_ = error;
  }
}

void Console::writeLineOrThrow(std::u16string_view text) {
  open();
  const auto codePage = isConsole_ ? platform::CodePage::ConsoleOutput : platform::CodePage::Ansi;
  append(os_.toNarrow(text, codePage));
  append("\r\n");
  if (isConsole_) flush();
}

void Console::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto room = kBufferSize - buffer_.size();
    const auto taken = bytes.substr(0, room);
    buffer_.append(taken);
    bytes.remove_prefix(taken.size());
    if (buffer_.size() == kBufferSize) writeOut();
  }
}

void Console::writeOut() {
  // Dropped even when the write fails, so that one failure is reported once
  // and the same bytes are not offered again with every later line.
  std::string bytes;
  bytes.swap(buffer_);
  const auto error = os_.writeStdout(bytes);
  if (error != platform::kOk) throw inOutError(error);
}

void Console::flush() {
  if (isOpen_ && !buffer_.empty()) writeOut();
}

void Console::writeLineIfPossible(std::u16string_view text) {
  try {
    writeLine(text);
  } catch (const ToolError& error) {
    if (bestEffort_ && !firstFailure_) firstFailure_ = error;
  }
}

void Console::flushQuietly() noexcept {
  try {
    flush();
  } catch (...) {
  }
}

void reportEscapedError(platform::FileAndProcess& os, const ToolError& error, std::u16string_view module,
                        std::uint32_t codeAddress) noexcept {
  try {
    std::u16string report = u"Exception ";
    report += error.kindName();
    report += u" in module ";
    report += module;
    report += u" at " + toHex(codeAddress, 8, true) + u".\r\n";
    const auto& message = error.message();
    report += message;
    if (!message.empty() && message.back() != u'.') report += u'.';
    report += u"\r\n\r\n";
    os.writeStderr(os.toNarrow(report, platform::CodePage::Oem));
  } catch (...) {
  }
}

}  // namespace usqz

// The tool's one kind of failure. Everything that goes wrong inside a run,
// the tool's own errors and failed output alike, travels as a ToolError so
// that a single handler can report it.
#pragma once

#include <cstdint>
#include <string>

namespace usqz {

class ToolError {
 public:
  enum class Kind { Exception, InOutError };

  ToolError(Kind kind, std::u16string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind() const { return kind_; }
  // The name the escaped-error report shows: "Exception" or "EInOutError".
  std::u16string_view kindName() const;
  const std::u16string& message() const { return message_; }

 private:
  Kind kind_;
  std::u16string message_;
};

// The tool's own error, raised with a message.
ToolError toolError(std::u16string message);

// A failure of text-file output (the result file or standard output). The
// message depends on the code alone and never names the file.
ToolError inOutError(std::uint32_t code);
std::u16string inOutErrorMessage(std::uint32_t code);

// Codes of text-file output that are not the platform's own.
inline constexpr std::uint32_t kInvalidFilename = 3;
inline constexpr std::uint32_t kFileNotOpenForOutput = 105;

}  // namespace usqz

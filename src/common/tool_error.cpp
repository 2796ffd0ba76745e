#include "common/tool_error.h"

#include "platform/text.h"

namespace usqz {

std::u16string_view ToolError::kindName() const {
  return kind_ == Kind::InOutError ? u"EInOutError" : u"Exception";
}

ToolError toolError(std::u16string message) { return ToolError(ToolError::Kind::Exception, std::move(message)); }

ToolError inOutError(std::uint32_t code) { return ToolError(ToolError::Kind::InOutError, inOutErrorMessage(code)); }

std::u16string inOutErrorMessage(std::uint32_t code) {
  switch (code) {
    case 2: return u"File not found";
    case 3: return u"Invalid filename";
    case 4: return u"Too many open files";
    case 5: return u"File access denied";
    case 100: return u"Read beyond end of file";
    case 101: return u"Disk full";
    case 106: return u"Invalid numeric input";
    default: return u"I/O error " + toDecimal(code);
  }
}

}  // namespace usqz

#include "service_control.h"

namespace usqz::platform {

std::u16string trimSystemMessage(std::u16string text) {
  while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
  return text;
}

}  // namespace usqz::platform

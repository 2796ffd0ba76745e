#include "common/duration_text.h"

#include "platform/text.h"

namespace usqz {

std::u16string durationText(std::uint32_t seconds) {
  if (seconds == 0) return u"0 s";
  std::u16string text;
  const auto part = [&text](std::uint32_t amount, std::u16string_view unit) {
    if (amount == 0) return;
    if (!text.empty()) text += u' ';
    text += toDecimal(amount) + u" " + std::u16string(unit);
  };
  part(seconds / 3600, u"h");
  part(seconds / 60 % 60, u"min");
  part(seconds % 60, u"s");
  return text;
}

}  // namespace usqz

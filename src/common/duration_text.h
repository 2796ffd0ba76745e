// A length of time as the console and the messages write it: `15 s`,
// `10 min`, `1 min 30 s`, `2 h`, `1 h 5 min`.
#pragma once

#include <cstdint>
#include <string>

namespace usqz {

// Hours, minutes and seconds, each only when not zero (`1 h 5 s`), and
// `0 s` for none at all; hours are not carried into days.
std::u16string durationText(std::uint32_t seconds);

}  // namespace usqz

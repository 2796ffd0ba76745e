// Where the Windows tests find the programs the build made for them; set
// from the command line by the tests' main.
#pragma once

#include <string>

namespace usqz::testing {

const std::u16string& testServiceV1();
const std::u16string& testServiceV2();
const std::u16string& builtTool();

}  // namespace usqz::testing

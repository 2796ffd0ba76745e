// Where the Windows tests find the programs the build made for them; set
// from the command line by the tests' main.
#pragma once

#include <string>

namespace usqz::testing {

const std::u16string& testServiceV1();
const std::u16string& testServiceV2();
const std::u16string& builtTool();
// The test PKI and the signed test service builds (make_test_pki.sh), in
// the folder "pki" beside the test service; ends with '\'.
std::u16string testPki();

}  // namespace usqz::testing

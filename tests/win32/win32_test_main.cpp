// main for the Windows tests: after GoogleTest's own flags, the paths of the
// tool and the two test service builds, as the build (a Unix path under
// Wine) knows them.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz::testing {

namespace {
std::u16string tool;
std::u16string serviceV1;
std::u16string serviceV2;
}  // namespace

const std::u16string& builtTool() { return tool; }
const std::u16string& testServiceV1() { return serviceV1; }
const std::u16string& testServiceV2() { return serviceV2; }
std::u16string testPki() { return serviceV1.substr(0, serviceV1.find_last_of(u'\\') + 1) + u"pki\\"; }

}  // namespace usqz::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // ctest lists the tests without the programs' paths.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s UpdateServiceQZ.exe test_service_v1.exe test_service_v2.exe\n", argv[0]);
    return 2;
  }
  usqz::testing::tool = usqz::testing::windowsPath(argv[1]);
  usqz::testing::serviceV1 = usqz::testing::windowsPath(argv[2]);
  usqz::testing::serviceV2 = usqz::testing::windowsPath(argv[3]);
  return RUN_ALL_TESTS();
}

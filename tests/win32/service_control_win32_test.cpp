// The Win32 service operations against the platform's real manager (Wine's
// here), with the test service: the shared contract, then what only the
// real manager can show.
#include <gtest/gtest.h>

#include "contract/service_control_contract.h"
#include "platform/native.h"
#include "platform/win32/windows_api.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz {
namespace {

using namespace platform;
using testing::ScratchDirectory;
using testing::ServiceNames;

struct Win32World {
  std::unique_ptr<ServiceControl> manager = makeNativeServiceControl();
  ScratchDirectory scratch;
  // A blank in the path: registered unquoted, it would not start.
  std::u16string folder = scratch / u"Program Files\\";
  std::u16string program = folder + u"qz_Contract.exe";
  ServiceNames names;

  Win32World() {
    CreateDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str()), nullptr);
    testing::copyFile(testing::testServiceV1(), program);
  }

  ServiceControl& control() { return *manager; }
  std::u16string executable() { return program; }
  std::u16string newName() { return names.make(u"USQZContract"); }
  void setBehaviour(const std::u16string&, const contract::ContractBehaviour& behaviour) {
    testing::writeFile(folder + u"test_service.cfg", "refuse_stop=" + std::to_string(behaviour.refuseStop ? 1 : 0) +
                                                         "\nstop_ms=" + std::to_string(behaviour.stopMs) + "\n");
  }
  contract::RegisteredConfig config(const std::u16string& name) {
    const auto config = testing::queryServiceConfig(name);
    return {config.binaryPath, config.serviceType, config.startType};
  }
  void sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }
};

}  // namespace
}  // namespace usqz

namespace usqz::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, ServiceControlContract, usqz::Win32World);
}  // namespace usqz::contract

namespace usqz {
namespace {

TEST(Win32ServiceControl, RegisteredUnderTheDefaultAccount) {
  Win32World world;
  const auto manager = world.control().openManager(kManagerConnect | kManagerCreateService);
  ASSERT_EQ(manager.error, kOk);
  const auto name = world.newName();
  const auto created = world.control().registerService(manager.handle, name, world.program);
  ASSERT_EQ(created.error, kOk);
  EXPECT_EQ(testing::queryServiceConfig(name).account, u"LocalSystem");
  world.control().release(created.handle);
  world.control().release(manager.handle);
}

TEST(Win32ErrorTexts, RealCodesHaveTheSystemsOwnDistinctTextsOnOneLine) {
  // The wording is the system's (Wine's differs from Windows'): that each
  // code has its own text, trimmed, is the tool's to keep.
  const auto texts = makeNativeErrorTexts();
  const auto denied = texts->describe(kErrorAccessDenied);
  const auto missing = texts->describe(kErrorServiceDoesNotExist);
  const auto exists = texts->describe(kErrorServiceExists);
  for (const auto* text : {&denied, &missing, &exists}) {
    ASSERT_FALSE(text->empty());
    EXPECT_GT(text->back(), u' ') << toUtf8(*text);
    EXPECT_NE(text->back(), u'.') << toUtf8(*text);
  }
  EXPECT_NE(denied, missing);
  EXPECT_NE(missing, exists);
  EXPECT_NE(denied, exists);
  EXPECT_EQ(texts->describe(0x2FFFFFFF), u"");
  ::testing::Test::RecordProperty("texts", toUtf8(denied + u" | " + missing + u" | " + exists));
}

TEST(Win32ErrorTexts, NoSystemTextBreaksTheResultLine) {
  // The system's texts for every Win32 code the tool could quote.
  const auto texts = makeNativeErrorTexts();
  unsigned described = 0;
  for (OsError code = 1; code < 16'000; ++code) {
    const auto text = texts->describe(code);
    if (!text.empty()) ++described;
    EXPECT_EQ(text.find_first_of(u"\r\n"), std::u16string::npos) << code << ": " << toUtf8(text);
  }
  EXPECT_GT(described, 100u);
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

// What a release orders its services by: the manager keeps the names a
// service was registered to depend on, and gives them back.
TEST(Win32ServiceControl, GivesBackTheServicesOneDependsOn) {
  Win32World world;
  const auto first = world.newName();
  const auto second = world.newName();
  testing::installService(first, world.program, false);
  testing::installService(second, world.program, false, first);
  const auto manager = world.control().openManager(kManagerConnect);
  ASSERT_EQ(manager.error, kOk);
  const auto opened = world.control().openExisting(manager.handle, second, kServiceQueryConfig);
  ASSERT_EQ(opened.error, kOk);
  const auto config = world.control().queryConfig(opened.handle);
  EXPECT_EQ(config.error, kOk);
  EXPECT_EQ(config.dependencies, std::vector<std::u16string>{first});
  world.control().release(opened.handle);
  world.control().release(manager.handle);
}

}  // namespace
}  // namespace usqz

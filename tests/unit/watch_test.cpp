// The watch window over the in-memory platform: a new version must go on
// running as the process its start began, and keep passing its checks,
// through the whole window, or everything goes back; a run that dies in it
// leaves the next to finish it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/text.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::fake::FakeHealthProbes;
using platform::fake::FakeService;
using ::testing::HasSubstr;

constexpr std::uint32_t kRunning = platform::kServiceRunning;

struct WatchTest : ::testing::Test {
  Harness h;
  FakeService* service = nullptr;

  void SetUp() override {
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    service = &h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    service->runningImage = kV1;
  }
  int run(const std::u16string& more = u"") { return h.run(u"--service-name QZAgent --exit-code --watch 15" + more); }
  std::optional<std::string> file(const std::u16string& name) const { return h.os.contents(name); }
};

TEST_F(WatchTest, Smoke) {
  EXPECT_EQ(run(), 0);
  std::cout << h.out();
  EXPECT_EQ(file(kCurrent), kV2);
}

TEST_F(WatchTest, SmokeDies) {
  service->start.diesAfterMs = 6000;
  service->startOnlyFor = kV2;
  EXPECT_EQ(run(), 11);
  std::cout << h.out() << *file(kResult);
  EXPECT_EQ(file(kCurrent), kV1);
}

}  // namespace
}  // namespace usqz

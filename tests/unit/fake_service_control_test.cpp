// The in-memory manager keeps the same contract as the real one, and its
// scripted behaviour does what the update run's tests rely on.
#include "fakes/fake_service_control.h"

#include <gtest/gtest.h>

#include "contract/service_control_contract.h"

namespace usqz {
namespace {

using namespace platform;
using namespace platform::fake;

struct FakeWorld {
  VirtualClock clock;
  FakeServiceControl manager{clock};
  unsigned counter = 0;

  ServiceControl& control() { return manager; }
  std::u16string executable() { return u"C:\\Program Files\\QZ\\qz_Agent.exe"; }
  std::u16string newName() { return u"QZContract" + toDecimal(++counter); }
  void setBehaviour(const std::u16string& name, const contract::ContractBehaviour& behaviour) {
    FakeService* service = manager.find(name);
    service->stop.refused = behaviour.refuseStop;
    service->stop.takesMs = behaviour.stopMs;
  }
  contract::RegisteredConfig config(const std::u16string& name) {
    const FakeService* service = manager.find(name);
    return {service->binaryPath, service->serviceType, service->startType};
  }
  void sleep(std::uint32_t milliseconds) { clock.advance(milliseconds); }
};

}  // namespace
}  // namespace usqz

namespace usqz::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, ServiceControlContract, usqz::FakeWorld);
}  // namespace usqz::contract

namespace usqz {
namespace {

struct FakeManager : ::testing::Test {
  VirtualClock clock;
  FakeServiceControl manager{clock};
  std::map<std::u16string, std::string> disk{{u"C:\\svc\\qz_Agent.exe", "v1"}};

  FakeManager() {
    manager.setExecutableReader([this](const std::u16string& path) -> std::optional<std::string> {
      const auto it = disk.find(path);
      if (it == disk.end()) return std::nullopt;
      return it->second;
    });
  }

  ServiceHandle open(const std::u16string& name) {
    const auto scm = manager.openManager(kManagerConnect);
    return manager.openExisting(scm.handle, name, kServiceQueryStatus | kServiceStart | kServiceStop).handle;
  }

  std::uint32_t state(ServiceHandle service, ServiceStatus* status = nullptr) {
    ServiceStatus local;
    EXPECT_EQ(manager.queryStatus(service, local), kOk);
    if (status) *status = local;
    return local.dwCurrentState;
  }
};

TEST_F(FakeManager, StartRunsWhatIsOnDiskAndFailsWhenNothingIs) {
  manager.addService(u"QZAgent", u"\"C:\\svc\\qz_Agent.exe\"");
  const auto service = open(u"qzagent");  // names are not case-sensitive
  ASSERT_TRUE(service);
  ASSERT_EQ(manager.sendStart(service), kOk);
  EXPECT_EQ(manager.find(u"QZAgent")->runningImage, "v1");

  ServiceStatus status;
  ASSERT_EQ(manager.sendStop(service, status), kOk);
  disk.clear();
  EXPECT_EQ(manager.sendStart(service), kErrorFileNotFound);
  EXPECT_EQ(state(service), kServiceStopped);
}

TEST_F(FakeManager, SlowStopReportsProgressUntilItsTimeHasPassed) {
  auto& service = manager.addService(u"QZAgent", u"C:\\svc\\qz_Agent.exe", kServiceRunning);
  service.stop.takesMs = 1000;
  service.stop.waitHint = 3000;
  const auto handle = open(u"QZAgent");
  ServiceStatus status;
  ASSERT_EQ(manager.sendStop(handle, status), kOk);
  EXPECT_EQ(status.dwCurrentState, kServiceStopPending);
  EXPECT_EQ(status.dwWaitHint, 3000u);
  EXPECT_EQ(state(handle, &status), kServiceStopPending);
  const auto first = status.dwCheckPoint;
  clock.advance(500);
  EXPECT_EQ(state(handle, &status), kServiceStopPending);
  EXPECT_GT(status.dwCheckPoint, first);
  clock.advance(500);
  EXPECT_EQ(state(handle), kServiceStopped);
}

TEST_F(FakeManager, AStopThatNeverCompletesShowsNoProgress) {
  auto& service = manager.addService(u"QZAgent", u"C:\\svc\\qz_Agent.exe", kServiceRunning);
  service.stop.takesMs = kNever;
  service.stop.reportsProgress = false;
  const auto handle = open(u"QZAgent");
  ServiceStatus status;
  ASSERT_EQ(manager.sendStop(handle, status), kOk);
  clock.advance(3'600'000);
  EXPECT_EQ(state(handle, &status), kServiceStopPending);
  EXPECT_EQ(status.dwCheckPoint, 0u);
}

TEST_F(FakeManager, AServiceThatDiesSoonAfterStartingReportsItsExitCode) {
  auto& service = manager.addService(u"QZAgent", u"C:\\svc\\qz_Agent.exe");
  service.start.pendingMs = 300;
  service.start.diesAfterMs = 1000;
  const auto handle = open(u"QZAgent");
  ASSERT_EQ(manager.sendStart(handle), kOk);
  EXPECT_EQ(state(handle), kServiceStartPending);
  clock.advance(300);
  EXPECT_EQ(state(handle), kServiceRunning);
  clock.advance(1000);
  ServiceStatus status;
  EXPECT_EQ(state(handle, &status), kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, kErrorProcessAborted);
  EXPECT_FALSE(manager.find(u"QZAgent")->runningImage);
}

TEST_F(FakeManager, InjectedFaultsAndRightsFailLikeThePlatform) {
  manager.addService(u"QZAgent", u"C:\\svc\\qz_Agent.exe", kServiceRunning);
  manager.setGrantedManagerRights(kManagerConnect);
  EXPECT_EQ(manager.openManager(kManagerConnect | kManagerCreateService).error, kErrorAccessDenied);
  manager.faults().failCall(ServiceOp::QueryStatus, 1, 6);
  const auto handle = open(u"QZAgent");
  ServiceStatus status;
  EXPECT_EQ(manager.queryStatus(handle, status), 6u);
  EXPECT_EQ(manager.queryStatus(handle, status), kOk);
  // Without the right to stop, the stop is denied.
  const auto scm = manager.openManager(kManagerConnect);
  const auto queryOnly = manager.openExisting(scm.handle, u"QZAgent", kServiceQueryStatus);
  EXPECT_EQ(manager.sendStop(queryOnly.handle, status), kErrorAccessDenied);
  manager.release(queryOnly.handle);
  manager.release(queryOnly.handle);
  EXPECT_EQ(manager.badReleases(), 1u);
}

}  // namespace
}  // namespace usqz

// What every ServiceControl keeps, checked the same way against the
// in-memory manager and against the platform's real one. A "world" provides
// the manager, an executable to register and a way to let time pass:
//
//   struct World {
//     ServiceControl& control();
//     std::u16string executable();            // a service program to register
//     std::u16string newName();               // a name no service has yet
//     // after the registration, before the start:
//     void setBehaviour(const std::u16string& name, const ContractBehaviour&);
//     RegisteredConfig config(const std::u16string& name);
//     void sleep(std::uint32_t milliseconds);
//   };
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/service_control.h"
#include "platform/text.h"

namespace usqz::contract {

using namespace usqz::platform;

struct ContractBehaviour {
  bool refuseStop = false;
  std::uint32_t stopMs = 0;
};

struct RegisteredConfig {
  std::u16string binaryPath;
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
};

// Closes what it holds, whatever the test's outcome.
using Held = OwnedServiceHandle;

template <typename World>
class ServiceControlContract : public ::testing::Test {
 protected:
  World world;
  ServiceControl& control = world.control();

  ServiceHandle managerWith(std::uint32_t access) {
    const auto opened = control.openManager(access);
    EXPECT_EQ(opened.error, kOk);
    EXPECT_TRUE(opened.handle);
    return opened.handle;
  }

  // A new service registered through `manager`, told how to behave; its
  // handle, none when the registration failed (the test has then failed).
  ServiceHandle registerNew(ServiceHandle manager, const ContractBehaviour& behaviour) {
    const auto name = world.newName();
    const auto created = control.registerService(manager, name, world.executable());
    EXPECT_EQ(created.error, kOk);
    if (created.error == kOk) world.setBehaviour(name, behaviour);
    return created.handle;
  }

  // Queries until the state is `wanted` or ten seconds have passed.
  ServiceStatus waitFor(ServiceHandle service, std::uint32_t wanted) {
    ServiceStatus status;
    for (int pass = 0; pass < 200; ++pass) {
      EXPECT_EQ(control.queryStatus(service, status), kOk);
      if (status.dwCurrentState == wanted) break;
      world.sleep(50);
    }
    return status;
  }
};

TYPED_TEST_SUITE_P(ServiceControlContract);

TYPED_TEST_P(ServiceControlContract, RegistersAQuotedOwnProcessAutoStartService) {
  auto& control = this->control;
  const Held manager(control, this->managerWith(kManagerConnect | kManagerCreateService));
  const auto name = this->world.newName();
  const auto created = control.registerService(manager.get(), name, this->world.executable());
  ASSERT_EQ(created.error, kOk);
  const Held service(control, created.handle);

  const auto config = this->world.config(name);
  EXPECT_EQ(config.binaryPath, u"\"" + this->world.executable() + u"\"");
  EXPECT_EQ(config.serviceType, kServiceWin32OwnProcess);
  EXPECT_EQ(config.startType, kServiceAutoStart);

  const auto again = control.registerService(manager.get(), name, this->world.executable());
  EXPECT_FALSE(again.handle);
  EXPECT_EQ(again.error, kErrorServiceExists);

  const auto opened = control.openExisting(manager.get(), name, kServiceQueryStatus | kServiceStart | kServiceStop);
  EXPECT_EQ(opened.error, kOk);
  const Held reopened(control, opened.handle);
  ServiceStatus status;
  EXPECT_EQ(control.queryStatus(reopened.get(), status), kOk);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);
}

TYPED_TEST_P(ServiceControlContract, AnUnknownServiceCannotBeOpened) {
  const Held manager(this->control, this->managerWith(kManagerConnect));
  const auto opened = this->control.openExisting(manager.get(), this->world.newName(), kServiceQueryStatus);
  EXPECT_FALSE(opened.handle);
  EXPECT_EQ(opened.error, kErrorServiceDoesNotExist);
}

TYPED_TEST_P(ServiceControlContract, AConnectOnlyHandleCannotRegister) {
  const Held manager(this->control, this->managerWith(kManagerConnect));
  const auto created = this->control.registerService(manager.get(), this->world.newName(), this->world.executable());
  EXPECT_FALSE(created.handle);
  EXPECT_EQ(created.error, kErrorAccessDenied);
}

TYPED_TEST_P(ServiceControlContract, StartsStopsAndStartsAgain) {
  auto& control = this->control;
  const Held manager(control, this->managerWith(kManagerConnect | kManagerCreateService));
  const Held service(control, this->registerNew(manager.get(), {false, 300}));
  ASSERT_TRUE(service.get());

  ServiceStatus status;
  EXPECT_EQ(control.sendStop(service.get(), status), kErrorServiceNotActive);

  ASSERT_EQ(control.sendStart(service.get()), kOk);
  EXPECT_EQ(this->waitFor(service.get(), kServiceRunning).dwCurrentState, kServiceRunning);
  EXPECT_EQ(control.sendStart(service.get()), kErrorServiceAlreadyRunning);

  status = {};
  ASSERT_EQ(control.sendStop(service.get(), status), kOk);
  // The reply is the service's own word: it takes a while to stop.
  EXPECT_EQ(status.dwCurrentState, kServiceStopPending);
  EXPECT_EQ(this->waitFor(service.get(), kServiceStopped).dwCurrentState, kServiceStopped);

  ASSERT_EQ(control.sendStart(service.get()), kOk);
  EXPECT_EQ(this->waitFor(service.get(), kServiceRunning).dwCurrentState, kServiceRunning);
  ASSERT_EQ(control.sendStop(service.get(), status), kOk);
  EXPECT_EQ(this->waitFor(service.get(), kServiceStopped).dwCurrentState, kServiceStopped);
}

TYPED_TEST_P(ServiceControlContract, TellsOfTheStatesTheServiceReports) {
  auto& control = this->control;
  const Held manager(control, this->managerWith(kManagerConnect | kManagerCreateService));
  const Held service(control, this->registerNew(manager.get(), {false, 300}));
  ASSERT_TRUE(service.get());
  ASSERT_EQ(control.sendStart(service.get()), kOk);
  EXPECT_EQ(control.waitForStatus(service.get(), kNotifyRunning, 10'000), StatusWait::Notified);
  EXPECT_EQ(this->waitFor(service.get(), kServiceRunning).dwCurrentState, kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(control.sendStop(service.get(), status), kOk);
  EXPECT_EQ(control.waitForStatus(service.get(), kNotifyStopped, 10'000), StatusWait::Notified);
  EXPECT_EQ(control.queryStatus(service.get(), status), kOk);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);
  // Nothing more to tell: the wait lasts its time.
  EXPECT_EQ(control.waitForStatus(service.get(), kNotifyRunning, 50), StatusWait::TimedOut);
}

TYPED_TEST_P(ServiceControlContract, ARefusedStopIsAFailureAndTheServiceRunsOn) {
  auto& control = this->control;
  const Held manager(control, this->managerWith(kManagerConnect | kManagerCreateService));
  const Held service(control, this->registerNew(manager.get(), {true, 0}));
  ASSERT_TRUE(service.get());
  ASSERT_EQ(control.sendStart(service.get()), kOk);
  ASSERT_EQ(this->waitFor(service.get(), kServiceRunning).dwCurrentState, kServiceRunning);

  ServiceStatus status;
  status.dwCurrentState = 99;
  EXPECT_NE(control.sendStop(service.get(), status), kOk);
  EXPECT_EQ(status.dwCurrentState, 99u) << "a failed call leaves the record alone";
  EXPECT_EQ(control.queryStatus(service.get(), status), kOk);
  EXPECT_EQ(status.dwCurrentState, kServiceRunning);
}

REGISTER_TYPED_TEST_SUITE_P(ServiceControlContract, RegistersAQuotedOwnProcessAutoStartService,
                            AnUnknownServiceCannotBeOpened, AConnectOnlyHandleCannotRegister, StartsStopsAndStartsAgain,
                            ARefusedStopIsAFailureAndTheServiceRunsOn, TellsOfTheStatesTheServiceReports);

}  // namespace usqz::contract

// The services that depend on the one being updated. Windows refuses to stop
// a service while a dependent runs; asked to (--stop-dependents), the run
// stops them first, in the manager's order, and starts them again, in the
// reverse order, once the service runs again. Without the option, active
// dependents make the run refuse before the stop, naming them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "platform/platform.h"
#include "run/service/service_waits.h"
#include "run/transaction/run_journal.h"

namespace usqz {

// Starts the dependent `name` and waits until it runs: one still stopping
// is let stop first, one that runs already is back. Why not, if not.
std::optional<std::u16string> startDependent(platform::Platform& platform, platform::ServiceHandle manager,
                                             const std::u16string& name);

class Dependents {
 public:
  Dependents(platform::Platform& platform, Console& console);

  // Before the service's stop request: refuses, or stops the dependents
  // when `stopThem`, each named in the journal before it is asked to stop.
  // A service that says it accepts no stop is refused before any of them
  // stops. A dependent that will not stop is an error naming it, after the
  // ones already stopped have been started again.
  void bringDown(platform::ServiceHandle manager, platform::ServiceHandle service,
                 const platform::ServiceStatus& status, bool stopThem, RunJournal& journal);
  // The active dependents a stop would take down with the service, after
  // the same refusals as bringDown; none when the manager cannot list them.
  std::vector<std::u16string> wouldStop(platform::ServiceHandle service, const platform::ServiceStatus& status,
                                        bool stopThem);
  // For undoing a run that died: the dependents it stopped, as its journal
  // names them, in the order they stopped; bringBack starts them again.
  void adopt(platform::ServiceHandle manager, std::vector<std::u16string> stopped);

  // Once the service runs again: the stopped dependents, started in the
  // reverse order. Empty when all of them run, else what the result must
  // say. Nothing happens a second time.
  std::u16string bringBack();
  // A release's members carried round this service (membersToCarry): once
  // every service of the release runs, they start again as the rest did,
  // before the watches, so that the release is confirmed with them; what
  // the result must say when one does not start, empty when all did.
  std::u16string startCarried();
  // Each carried member started again watched, as a started service is,
  // and then looked at once more with the rest: an error naming it when
  // it went down or runs in another process since.
  void watchCarried();
  std::optional<std::u16string> carriedStillRun();
  // Before the release is put back: the carried members stopped again, so
  // that the services they depend on may stop; brought back with the rest.
  void stopCarriedAgain();

  // What the result must say when the service itself stays down: the
  // dependents it took down with it.
  std::u16string leftDown() const;
  // Whether the run leaves a dependent stopped that it found running.
  bool anyLeftDown() const { return !down_.empty(); }

  // The services of the release the run is part of: never this run's to
  // stop or start as dependents.
  void partOfRelease(std::vector<std::u16string> names) { release_ = std::move(names); }
  // The release's services with nothing to do of their own: stopped and
  // started again around this one as its dependents, whatever the options.
  void membersToCarry(std::vector<std::u16string> names) { carried_ = std::move(names); }

 private:
  std::vector<std::u16string> release_;
  std::vector<std::u16string> carried_;
  // Starts a stopped dependent and waits until it runs; why not, if not.
  std::optional<std::u16string> restart(const std::u16string& name);

  // Asks a dependent to stop and waits until it has: whether it has. One
  // asked is down until it runs again, whether or not it stopped in time.
  bool stop(const std::u16string& name, platform::ServiceHandle dependent);

  platform::Platform& platform_;
  Console& console_;
  platform::ServiceHandle manager_;
  // Carried members started again by startCarried, each watched from its
  // start.
  struct Started {
    std::u16string name;
    std::unique_ptr<platform::OwnedServiceHandle> service;
    std::unique_ptr<ServiceWaits> waits;
  };
  std::vector<Started> started_;
  // Stopped by the run and not started again, in the order they stopped.
  std::vector<std::u16string> down_;
};

}  // namespace usqz

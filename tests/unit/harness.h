// A tool run over the in-memory platform, set up as on a typical machine:
// the tool in C:\svc, standard output redirected to a file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_error_texts.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_health_probes.h"
#include "fakes/fake_file_and_process.h"
#include "fakes/fake_service_control.h"
#include "fakes/fake_trust.h"
#include "support/console_lines.h"
#include "support/pe_image.h"
#include "tool.h"

namespace usqz::testing {

using platform::fake::FakeErrorTexts;
using platform::fake::FakeEventLog;
using platform::fake::FakeFileAndProcess;
using platform::fake::FakeHealthProbes;
using platform::fake::FakeServiceControl;
using platform::fake::FakeTrust;
using platform::fake::FileOp;
using platform::fake::Killed;
using platform::fake::ServiceOp;
using platform::fake::StdoutKind;
using platform::fake::TrustOp;
using platform::fake::VirtualClock;

inline const std::u16string kToolPath = u"C:\\svc\\UpdateServiceQZ.exe";
inline const std::u16string kCurrent = u"C:\\svc\\qz_Agent.exe";
inline const std::u16string kNew = u"C:\\svc\\qz_Agent.new";
inline const std::u16string kOld = u"C:\\svc\\qz_Agent.old";
inline const std::u16string kJournal = u"C:\\svc\\qz_Agent.journal";
inline const std::u16string kCopy = u"C:\\svc\\qz_Agent.copy";
inline const std::u16string kResult = u"updateServiceQZ-QZAgent.txt";
// Two versions of the service's executable, complete images both.
inline const std::string kV1 = peImage("v1");
inline const std::string kV2 = peImage("v2");

struct Harness {
  VirtualClock clock;
  FakeFileAndProcess os{clock};
  FakeServiceControl services{clock};
  FakeErrorTexts texts;
  FakeTrust trust{os};
  FakeHealthProbes probes{clock, os.lifeline()};
  FakeEventLog events;

  platform::Platform platform{os, os, services, os, os, services, texts, trust, probes, os, events};

  Harness() {
    os.setOwnExecutablePath(kToolPath);
    os.addDirectory(u"C:\\svc");
    services.setExecutableReader([this](const std::u16string& path) { return os.contents(path); });
    services.faults().setLifeline(&os.lifeline());
  }

  int run(const std::u16string& arguments) {
    os.setCommandLine(u"\"C:\\svc\\UpdateServiceQZ.exe\" " + arguments);
    return runTool(platform);
  }

  // A run whose process dies at its Nth platform call (counted from the
  // run's start): nothing when it died, else its exit status. Whatever the
  // run left is left as a dead process leaves it.
  std::optional<int> runDyingAt(const std::u16string& arguments, unsigned nth) {
    os.lifeline().dieAtCall(nth);
    try {
      const int status = run(arguments);
      if (!os.lifeline().dead()) {
        os.lifeline().revive();
        return status;
      }
    } catch (const Killed&) {
    }
    services.afterDeath();
    os.afterDeath();
    return std::nullopt;
  }

  std::string out() const { return os.stdoutBytes(); }
};

}  // namespace usqz::testing

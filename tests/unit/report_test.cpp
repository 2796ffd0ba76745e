// --report and --event-log: what the run did, as JSON and as one event in
// the Application log, for every outcome; neither ever changes the run's
// outcome, status or result file, and the default run asks nothing of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"
#include "platform/text.h"
#include "run/run_lock.h"
#include "support/json_check.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;
using ::testing::Not;

const std::u16string kReport = u"C:\\reports\\qz.json";
const std::u16string kTold = u" --report C:\\reports\\qz.json --event-log";

std::string hashOf(const std::string& bytes) { return toUtf8(FakeTrust::hashOf(bytes)); }

// The result file is in the ANSI code page (Latin-1 on the doubles), the
// report in UTF-8.
std::string utf8OfAnsi(const std::string& ansi) {
  std::u16string wide;
  for (const char c : ansi) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return toUtf8(wide);
}

struct Told : Harness {
  Told() { os.addDirectory(u"C:\\reports"); }
  std::string report() const { return os.contents(kReport).value_or(""); }
};

TEST(Report, AnUpdateInFull) {
  Told h;
  setUpSweepScene(h, false);
  EXPECT_EQ(h.run(kSweepArguments + kTold), 0);
  const auto v1 = hashOf(kV1), v2 = hashOf(kV2);
  EXPECT_EQ(h.report(), "{\n"
                        "  \"tool\": \"UpdateServiceQZ\",\n"
                        "  \"toolVersion\": \"1.0.0\",\n"
                        "  \"action\": \"update\",\n"
                        "  \"service\": \"QZAgent\",\n"
                        "  \"host\": \"QZHOST01\",\n"
                        "  \"started\": \"2026-12-09T00:16:40.000Z\",\n"
                        "  \"ended\": \"2026-12-09T00:16:41.800Z\",\n"
                        "  \"outcome\": \"updated\",\n"
                        "  \"exitCode\": 0,\n"
                        "  \"result\": \"Atualizado com sucesso!\",\n"
                        "  \"previous\": {\n"
                        "    \"path\": \"C:\\\\svc\\\\qz_Agent.exe\",\n"
                        "    \"size\": 370,\n"
                        "    \"sha256\": \"" + v1 + "\",\n"
                        "    \"fileVersion\": null,\n"
                        "    \"signer\": null\n"
                        "  },\n"
                        "  \"new\": {\n"
                        "    \"path\": \"C:\\\\svc\\\\qz_Agent.new\",\n"
                        "    \"size\": 370,\n"
                        "    \"sha256\": \"" + v2 + "\",\n"
                        "    \"fileVersion\": null,\n"
                        "    \"signer\": null\n"
                        "  },\n"
                        "  \"running\": {\n"
                        "    \"path\": \"C:\\\\svc\\\\qz_Agent.exe\",\n"
                        "    \"size\": 370,\n"
                        "    \"sha256\": \"" + v2 + "\",\n"
                        "    \"fileVersion\": null,\n"
                        "    \"signer\": null\n"
                        "  },\n"
                        "  \"steps\": [\n"
                        "    {\"step\": \"stop-requested\", \"at\": \"2026-12-09T00:16:40.000Z\"},\n"
                        "    {\"step\": \"stopped\", \"at\": \"2026-12-09T00:16:40.300Z\"},\n"
                        "    {\"step\": \"moved\", \"at\": \"2026-12-09T00:16:40.300Z\"},\n"
                        "    {\"step\": \"start-requested\", \"at\": \"2026-12-09T00:16:40.300Z\"},\n"
                        "    {\"step\": \"running\", \"at\": \"2026-12-09T00:16:40.300Z\"},\n"
                        "    {\"step\": \"confirmed\", \"at\": \"2026-12-09T00:16:41.800Z\"}\n"
                        "  ],\n"
                        "  \"downtimeMs\": 300,\n"
                        "  \"health\": [],\n"
                        "  \"recovery\": null\n"
                        "}\n");
  EXPECT_TRUE(h.os.isPrivate(kReport));
  ASSERT_EQ(h.events.events().size(), 1u);
  const auto& event = h.events.events()[0];
  EXPECT_EQ(event.source, u"UpdateServiceQZ");
  EXPECT_EQ(event.id, 1000u);
  EXPECT_EQ(event.type, platform::EventType::Information);
  EXPECT_EQ(event.strings,
            (std::vector<std::u16string>{u"QZAgent", u"Atualizado com sucesso!",
                                         u"sem número de versão (C:\\svc\\qz_Agent.exe, SHA-256 " + fromUtf8(v1) + u")",
                                         u"sem número de versão (C:\\svc\\qz_Agent.new, SHA-256 " + fromUtf8(v2) + u")",
                                         u"sem número de versão (C:\\svc\\qz_Agent.exe, SHA-256 " + fromUtf8(v2) + u")",
                                         u"0"}));
  // The source was registered with the tool's own message table.
  EXPECT_EQ(h.events.sources().at(u"UpdateServiceQZ"), kToolPath);
}

TEST(Report, TheHealthChecksAndTheSignerAsTheRunFoundThem) {
  Told h;
  setUpSweepScene(h, false);
  signNewVersion(h);
  const auto started = h.clock.now();
  h.probes.answer(u"http://127.0.0.1:8080/health", [&h, started] {
    return FakeHealthProbes::http(h.clock.now() - started < 2'000 ? 503 : 200);
  });
  EXPECT_EQ(h.run(kSignedArguments + kTold + u" --health-url http://127.0.0.1:8080/health"), 0) << h.out();
  const auto report = h.report();
  EXPECT_TRUE(JsonCheck::valid(report)) << report;
  EXPECT_THAT(report, HasSubstr("  \"health\": [\n    {\"check\": \"http://127.0.0.1:8080/health\", \"answer\": "
                                "\"HTTP 200\", \"passed\": true}\n  ],\n"));
  EXPECT_THAT(report, HasSubstr("{\"step\": \"healthy\", \"at\": "));
  // The new version's signer, read because the run checks signatures; the
  // previous version is not signed.
  EXPECT_THAT(report, HasSubstr("\"signer\": {\"subject\": \"CN=QZ\", \"sha256\": \"" + std::string(64, 'a') + "\"}"));
  const auto previous = report.substr(report.find("\"previous\""), report.find("\"new\"") - report.find("\"previous\""));
  EXPECT_THAT(previous, HasSubstr("\"signer\": null"));
}

TEST(Report, OneForEveryOutcomeWithItsEvent) {
  struct Case {
    const char* name;
    std::function<void(Told&)> arrange;
    std::u16string options;
    int status;
    const char* outcome;
    unsigned eventId;  // 0: no event
    platform::EventType type;
    bool downtime;
    const char* has;  // besides
  };
  using platform::EventType;
  const auto failingStarts = [](Told& h) { h.services.find(u"QZAgent")->start.diesAfterMs = 200; };
  const std::vector<Case> cases = {
      {"updated", [](Told&) {}, u"", 0, "updated", 1000, EventType::Information, true, "\"running\", \"at\""},
      {"nothing to do", [](Told& h) { h.os.removeFile(kNew); }, u"", 3, "nothing-to-do", 1001,
       EventType::Information, false, "\"new\": null"},
      {"refused", [](Told& h) { h.os.putFile(kNew, "MZ, cut short"); }, u"", 10, "refused", 1002,
       EventType::Warning, false, "\"steps\": []"},
      {"rolled back", [](Told& h) {
         auto& service = *h.services.find(u"QZAgent");
         service.startOnlyFor = kV2;
         service.start.diesAfterMs = 200;
       },
       u"", 11, "rolled-back", 1003, EventType::Warning, true, "{\"step\": \"rolled-back\""},
      {"down", failingStarts, u"", 12, "down", 1004, EventType::Error, false, "\"result\": \"Erro: "},
      {"busy", [](Told& h) { h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE")); }, u"", 1618, "busy",
       1005, EventType::Warning, false, "\"result\": null"},
      {"rolled back on demand", [](Told& h) { h.os.putFile(kOld, peImage("v0")); }, u" --rollback", 0, "rolled-back-on-demand", 1006,
       EventType::Information, true, "\"action\": \"rollback\""},
      {"check", [](Told&) {}, u" --check", 0, "check-passed", 0, EventType::Information, false,
       "\"action\": \"check\""},
      {"recovered", [](Told& h) {
         const unsigned nth = firstDeathLeaving(false, [](Harness& p) { return p.os.contents(kCurrent) == kV2; });
         ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
       },
       u"", 0, "updated", 1000, EventType::Information, true,
       "\"recovery\": {\"deadRunStep\": \"swapping\", \"outcome\": \"undone\", \"message\": null}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Told h;
    setUpSweepScene(h, false);
    c.arrange(h);
    EXPECT_EQ(h.run(kSweepArguments + kTold + c.options), c.status) << h.out();
    const auto report = h.report();
    EXPECT_TRUE(JsonCheck::valid(report)) << report;
    EXPECT_THAT(report, HasSubstr("\"outcome\": \"" + std::string(c.outcome) + "\",\n"));
    EXPECT_THAT(report, HasSubstr("\"exitCode\": " + std::to_string(c.status) + ",\n"));
    EXPECT_THAT(report, HasSubstr(c.has));
    EXPECT_THAT(report, HasSubstr(c.downtime ? "\"downtimeMs\": " : "\"downtimeMs\": null"));
    if (c.downtime) {
      EXPECT_THAT(report, Not(HasSubstr("\"downtimeMs\": null")));
    }
    // The result line is the result file's, whenever there is one.
    if (const auto result = h.os.contents(kResult)) {
      EXPECT_THAT(report, HasSubstr("\"result\": \"" + utf8OfAnsi(result->substr(0, result->size() - 2))));
    }
    if (c.eventId == 0) {
      EXPECT_TRUE(h.events.events().empty());
      continue;
    }
    ASSERT_EQ(h.events.events().size(), 1u);
    EXPECT_EQ(h.events.events()[0].id, c.eventId);
    EXPECT_EQ(h.events.events()[0].type, c.type);
    EXPECT_EQ(h.events.events()[0].strings.size(), 6u);
    EXPECT_EQ(h.events.events()[0].strings[5], toDecimal(c.status));
  }
}

TEST(Report, WhatCannotBeToldIsSaidAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<void(Told&)> arrange;
    const char* said;
  };
  const std::vector<Case> cases = {
      {"a folder at the report's name", [](Told& h) { h.os.addDirectory(kReport); },
       "Relat\xF3rio n\xE3o gravado: C:\\reports\\qz.json: "},
      // Whoever may change the folder could replace the report or what its
      // temporary name stands for.
      {"a report folder others may write", [](Told& h) { h.os.setForeign(u"C:\\reports", u"", {u"Everyone"}); },
       "Relat\xF3rio n\xE3o gravado: C:\\reports\\qz.json: a pasta C:\\reports\\ pode ser alterado por Everyone"},
      {"the source cannot be registered", [](Told& h) { h.events.failRegistration(platform::kErrorAccessDenied); },
       "Registro de eventos: a origem UpdateServiceQZ n\xE3o p\xF4" "de ser registrada ("},
      {"the event cannot be written", [](Told& h) { h.events.failReports(1502); },
       "Registro de eventos: o evento n\xE3o p\xF4" "de ser gravado: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Told h;
    setUpSweepScene(h, false);
    c.arrange(h);
    EXPECT_EQ(h.run(kSweepArguments + kTold), 0);
    EXPECT_THAT(h.out(), HasSubstr(c.said));
    EXPECT_EQ(h.os.contents(kResult), "Atualizado com sucesso!\r\n");
    EXPECT_EQ(h.services.find(u"QZAgent")->runningImage, kV2);
  }
}

// Its temporary name is one nobody can guess, created new: files planted
// where the process number or the first name drawn would put it stay as
// they are, and the report is still written.
TEST(Report, NothingNearItsNameIsWrittenThroughOrDeleted) {
  Told h;
  setUpSweepScene(h, false);
  // The result file draws the first name, the report the next.
  const std::vector<std::u16string> planted = {kReport + u".1952.tmp", kReport + u".9e3779b97f4a7c15.tmp",
                                               kReport + u".3c6ef372fe94f82a.tmp"};
  for (const auto& name : planted) {
    h.os.putFile(name, "someone's");
    h.os.setForeign(name, u"QZ\\alice");
    h.os.makeLink(name);
  }
  EXPECT_EQ(h.run(kSweepArguments + kTold), 0);
  EXPECT_TRUE(JsonCheck::valid(h.report()));
  for (const auto& name : planted) EXPECT_EQ(h.os.contents(name), "someone's");
  // Besides them: the executable, its backup, B.exe, the result and the
  // report; no temporary file is left.
  EXPECT_EQ(h.os.fileNames().size(), planted.size() + 5);
}

// A report that would replace a file the run works on is refused with the
// options, before anything is touched (the result file included).
TEST(Report, NamingAFileOfTheRunIsRefusedBeforeAnythingIsTouched) {
  for (const auto* path : {u"C:\\svc\\qz_Agent.exe", u"C:\\svc\\qz_Agent.new", u"C:\\svc\\qz_Agent.old",
                           u"C:\\svc\\qz_Agent.rollback", u"C:\\svc\\qz_Agent.journal",
                           u"C:\\svc\\qz_Agent.copy", u"updateServiceQZ-QZAgent.txt", u"C:\\svc\\UpdateServiceQZ.exe",
                           u"S:\\qz_Agent.exe"}) {
    for (const auto* mode : {u"", u" --check"}) {
      SCOPED_TRACE(toUtf8(std::u16string(path) + mode));
      Told h;
      auto& service = setUpSweepScene(h, false);
      h.os.setAlias(u"S:\\", u"C:\\svc\\");
      h.os.putFile(kResult, "Atualizado com sucesso!\r\n");
      EXPECT_EQ(h.run(kSweepArguments + u" --report " + path + mode), 2);
      EXPECT_EQ(h.out(), "Erro: Op\xE7\xE3o inv\xE1lida: --report sobre um arquivo da ferramenta: " +
                             toUtf8(path) + "\r\n");
      EXPECT_EQ(h.os.contents(kResult), "Atualizado com sucesso!\r\n");
      EXPECT_EQ(h.os.contents(kCurrent), kV1);
      EXPECT_EQ(h.os.contents(kNew), kV2);
      EXPECT_EQ(service.stopRequests, 0u);
    }
  }
}

TEST(Report, ALinkAtItsNameIsReplacedNotFollowed) {
  Told h;
  setUpSweepScene(h, false);
  h.os.putFile(u"C:\\Windows\\win.ini", "[fonts]");
  h.os.putFile(kReport, "[fonts]");
  h.os.makeLink(kReport);
  EXPECT_EQ(h.run(kSweepArguments + kTold), 0);
  EXPECT_TRUE(JsonCheck::valid(h.report()));
  EXPECT_TRUE(h.os.isPrivate(kReport));
  EXPECT_EQ(h.os.contents(u"C:\\Windows\\win.ini"), "[fonts]");
}

TEST(Report, TheDefaultRunAsksNothingOfThem) {
  Told h;
  setUpSweepScene(h, false);
  Told told;
  setUpSweepScene(told, false);
  const unsigned before = h.os.lifeline().calls();
  EXPECT_EQ(h.run(kSweepArguments), 0);
  const unsigned calls = h.os.lifeline().calls() - before;
  EXPECT_TRUE(h.events.events().empty());
  EXPECT_TRUE(h.events.sources().empty());
  // The same run told: its own transcript, every line of the default's.
  EXPECT_EQ(told.run(kSweepArguments + kTold), 0);
  EXPECT_EQ(told.out(), h.out());
  EXPECT_GT(told.os.lifeline().calls(), calls);
}

// A fault at any file operation of a told run, the report's own reads and
// writes among them: no version is lost, the status still says what the
// run left, and a report that was written is whole and says that status.
TEST(Report, AFaultAnywhereNeverCostsAVersionOrMisreportsTheStatus) {
  for (int op = 0; op <= static_cast<int>(FileOp::ReadAt); ++op) {
    const auto operation = static_cast<FileOp>(op);
    if (operation == FileOp::OpenStdout || operation == FileOp::WriteStdout) continue;  // output lost: status 1
    for (unsigned nth = 1; nth <= 8; ++nth) {
      SCOPED_TRACE(::testing::Message() << "file operation " << op << ", call " << nth);
      Told h;
      setUpSweepScene(h, false);
      h.os.faults().failCall(operation, nth, 1);
      const int status = h.run(kSweepArguments + kTold);
      Allowance allowed;
      allowed.resultLost = operation == FileOp::CreateNewFile || operation == FileOp::WriteBytes ||
                           operation == FileOp::CloseFile || operation == FileOp::RemoveFile ||
                           operation == FileOp::TryLock;
      expectEndStateMatchesStatus(h, status, allowed);
      if (const auto report = h.os.contents(kReport)) {
        EXPECT_TRUE(JsonCheck::valid(*report)) << *report;
        EXPECT_THAT(*report, HasSubstr("\"exitCode\": " + std::to_string(status) + ",\n"));
      }
      EXPECT_FALSE(h.os.contents(kReport + u".1952.tmp"));
    }
  }
}

// A told run killed at any call, then run again: the second run's report is
// whole, says its true status, and tells the recovery whenever the first
// left a journal to act on.
TEST(Report, AfterADeathAtAnyCallTheNextRunsReportIsWholeAndTrue) {
  unsigned calls = 0;
  {
    Told clean;
    setUpSweepScene(clean, false);
    const unsigned before = clean.os.lifeline().calls();
    ASSERT_EQ(clean.run(kSweepArguments + kTold), 0);
    calls = clean.os.lifeline().calls() - before;
  }
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE(::testing::Message() << "killed at call " << nth);
    Told h;
    setUpSweepScene(h, false);
    ASSERT_FALSE(h.runDyingAt(kSweepArguments + kTold, nth).has_value());
    const bool leftJournal = h.os.contents(kJournal).has_value();
    const int status = h.run(kSweepArguments + kTold);
    EXPECT_TRUE(status == 0 || status == 3) << status << h.out();  // 3: the first had finished
    const auto report = h.report();
    EXPECT_TRUE(JsonCheck::valid(report)) << report;
    EXPECT_THAT(report, HasSubstr("\"exitCode\": " + std::to_string(status) + ",\n"));
    if (leftJournal) {
      EXPECT_THAT(report, HasSubstr("\"recovery\": {\"deadRunStep\": "));
    }
    EXPECT_FALSE(h.os.contents(kReport + u".1952.tmp"));
  }
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

// Each executable is read once by a run with every option: the copy's
// pass hashes the new version for the pin, the journal, the "already
// runs" check and the report, and the current version's hash serves them
// all too. (A signature check is the system's own read, not counted; the
// headers and the version resource are a few hundred bytes.)
TEST(Report, EachExecutableIsReadOnceWhateverIsAsked) {
  constexpr std::size_t kSize = 1 << 20;
  const auto padded = [](std::string image) {
    image.resize(kSize, '\x5A');
    return image;
  };
  const auto v1 = padded(peImageWithVersion("v1", 1, 0)), v2 = padded(peImageWithVersion("v2", 2, 0));
  const platform::Signer publisher{u"CN=QZ", u"CN=QZ CA", u"QZ", std::u16string(64, u'a')};
  for (const auto* options : {u"", u" --sha256 PIN --report C:\\reports\\qz.json --event-log --require-signature "
                                   u"--same-signer --no-downgrade"}) {
    SCOPED_TRACE(toUtf8(options));
    Told h;
    auto& service = setUpSweepScene(h, false);
    h.os.putFile(kCurrent, v1);
    h.os.putFile(kNew, v2);
    service.runningImage = v1;
    h.trust.sign(v1, {platform::SignatureStatus::Valid, 0, publisher});
    h.trust.sign(v2, {platform::SignatureStatus::Valid, 0, publisher});
    auto arguments = kSweepArguments + options;
    if (const auto pin = arguments.find(u"PIN"); pin != std::u16string::npos) {
      arguments.replace(pin, 3, FakeTrust::hashOf(v2));
    }
    const auto current = h.os.fileIndex(kCurrent), next = h.os.fileIndex(kNew);
    EXPECT_EQ(h.run(arguments), 0) << h.out();
    EXPECT_EQ(service.runningImage, v2);
    // The copy that runs now, written and never read whole again.
    EXPECT_LT(h.os.bytesRead(h.os.fileIndex(kCurrent)), kSize / 8);
    for (const auto index : {current, next}) {
      EXPECT_GE(h.os.bytesRead(index), kSize);
      EXPECT_LT(h.os.bytesRead(index), kSize + kSize / 8) << "read more than once: file " << index;
    }
  }
}

}  // namespace
}  // namespace usqz

// A release: its file read strictly, its services stopped, swapped and
// started in their dependencies' order, all or none, and a release killed at
// any platform call recovered as a whole by the next run that touches any of
// its services.
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "release_scene.h"
#include "run/release/release_file.h"
#include "run/release/release_order.h"
#include "run/run_lock.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

const std::string kOk = "Atualizado com sucesso!\r\n";

// -- the order ---------------------------------------------------------------

TEST(ReleaseOrder, StartsWhatIsDependedOnFirstAndKeepsTheFilesOrderOtherwise) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::size_t>> dependsOn;
    std::vector<std::size_t> start;
    std::vector<std::size_t> cycle;
  };
  const Case cases[] = {
      {"no dependencies", {{}, {}, {}}, {0, 1, 2}, {}},
      {"the first depends on the second", {{1}, {}, {}}, {1, 0, 2}, {}},
      {"a chain backwards", {{1}, {2}, {}}, {2, 1, 0}, {}},
      {"two depend on the last", {{2}, {2}, {}}, {2, 0, 1}, {}},
      {"a diamond", {{1, 2}, {3}, {3}, {}}, {3, 1, 2, 0}, {}},
      {"itself", {{}, {1}, {}}, {}, {1}},
      {"two on each other", {{}, {2}, {1}}, {}, {1, 2}},
      {"three round, one outside", {{1}, {2}, {3}, {1}}, {}, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto order = startOrder(c.dependsOn);
    EXPECT_EQ(order.start, c.start);
    EXPECT_EQ(order.cycle, c.cycle);
  }
}

// -- the file ----------------------------------------------------------------

TEST(ReleaseFile, ReadsWhatTheCommandLineWouldSayOfEachService) {
  Harness h;
  const std::string hash(64, 'A');
  const auto read = parseRelease(h.os,
                                 "\xEF\xBB\xBF{\"services\": [{\"name\": \"QZAgent\", \"sha256\": \"" + hash +
                                     "\", \"healthUrl\": [\"http://127.0.0.1:8080/health\"], \"healthTcp\": "
                                     "[\"127.0.0.1:8081\"], \"healthCommand\": [\"C:\\\\svc\\\\check.cmd\"]},"
                                     " {\"name\": \"QZSync\u00e7\"}]}",
                                 kToolPath);
  ASSERT_EQ(read.kind, ReleaseRead::Kind::Read) << toUtf8(read.why);
  ASSERT_EQ(read.services.size(), 2u);
  EXPECT_EQ(read.services[0].name, u"QZAgent");
  EXPECT_EQ(read.services[0].sha256, std::u16string(64, u'a'));
  ASSERT_EQ(read.services[0].health.size(), 3u);
  EXPECT_EQ(read.services[0].health[1].port, 8081);
  EXPECT_EQ(read.services[0].health[2].target, u"C:\\svc\\check.cmd");
  EXPECT_EQ(read.services[1].name, u"QZSync\u00e7");
  EXPECT_TRUE(read.services[1].health.empty());
}

TEST(ReleaseFile, AnythingUnexpectedIsRefusedWithItsReason) {
  std::string many = "{\"services\": [";
  for (int i = 0; i < 65; ++i) many += (i ? ", " : "") + std::string("{\"name\": \"QZS") + std::to_string(i) + "\"}";
  many += "]}";
  const std::pair<std::string, const char*> cases[] = {
      {"", "n\xE3o \xE9 um JSON v\xE1lido"},
      {"{\"services\": [{\"name\": \"QZAgent\"}]", "n\xE3o \xE9 um JSON v\xE1lido"},
      {"{\"services\": [{\"name\": \"QZ\xFF\"}]}", "n\xE3o \xE9 um JSON v\xE1lido"},
      {"[]", "deve ser um objeto JSON"},
      {"{}", "falta a lista \"services\""},
      {"{\"services\": {}}", "falta a lista \"services\""},
      {"{\"services\": []}", "est\xE1 vazia"},
      {many, "mais de 64 servi\xE7os"},
      {"{\"services\": [], \"extra\": 1}", "chave desconhecida: \"extra\""},
      {"{\"services\": [{\"name\": \"QZAgent\", \"HealthUrl\": []}]}", "chave desconhecida: \"HealthUrl\""},
      {"{\"services\": [{\"name\": \"QZAgent\", \"name\": \"QZSync\"}]}", "aparece duas vezes no mesmo objeto"},
      {"{\"services\": [\"QZAgent\"]}", "cada servi\xE7o deve ser um objeto"},
      {"{\"services\": [{\"sha256\": \"\"}]}", "um servi\xE7o sem \"name\""},
      {"{\"services\": [{\"name\": \"\"}]}", "um servi\xE7o sem \"name\""},
      {"{\"services\": [{\"name\": 7}]}", "um servi\xE7o sem \"name\""},
      {"{\"services\": [{\"name\": \"QZ\\\\..\\\\x\"}]}", "n\xE3o \xE9 um nome de servi\xE7o"},
      {"{\"services\": [{\"name\": \"QZAgent\"}, {\"name\": \"qzagent\"}]}", "aparece duas vezes"},
      {"{\"services\": [{\"name\": \"QZAgent\"}, {\"name\": \"XXAgent\"}]}", "dois servi\xE7os no mesmo execut\xE1vel"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": \"abc\"}]}", "QZAgent: --sha256 abc: n\xE3o \xE9 um SHA-256"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": 1}]}", "\"sha256\" deve ser um texto"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthUrl\": \"http://x\"}]}", "deve ser uma lista de textos"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthUrl\": [\"ftp://x\"]}]}", "--health-url ftp://x"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthTcp\": [\"x:0\"]}]}", "--health-tcp x:0"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthCommand\": [\" \"]}]}", "--health-command sem comando"},
  };
  for (const auto& [text, says] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    Harness h;
    setUpReleaseScene(h, text);
    EXPECT_EQ(h.run(kReleaseArguments), 2);
    EXPECT_THAT(h.out(), HasSubstr("Erro: Op\xE7\xE3o inv\xE1lida: --release C:\\svc\\release.json: "));
    EXPECT_THAT(h.out(), HasSubstr(says));
    for (const auto& member : kMembers) {
      EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
      EXPECT_FALSE(h.os.contents(member.result()));
    }
  }
}

TEST(ReleaseFile, TheCommandLineMayNotAlsoNameAServiceOrItsChecks) {
  for (const auto* extra : {u" --service-name QZAgent", u" --sha256 " u"0000000000000000000000000000000000000000000000000000000000000000",
                            u" --health-tcp 127.0.0.1:80", u" --health-url http://x", u" --health-command x.cmd"}) {
    Harness h;
    setUpReleaseScene(h);
    EXPECT_EQ(h.run(kReleaseArguments + extra), 2) << toUtf8(extra);
    EXPECT_THAT(h.out(), HasSubstr("Erro: Op\xE7\xE3o inv\xE1lida: "));
    EXPECT_EQ(serviceOf(h, kMembers[0]).stopRequests, 0u);
  }
  Harness missing;
  setUpReleaseScene(missing);
  missing.os.removeFile(kReleaseFile);
  EXPECT_EQ(missing.run(kReleaseArguments), 2);
  EXPECT_THAT(missing.out(), HasSubstr("--release C:\\svc\\release.json: "));
}

TEST(ReleaseFile, OnlyAnAdministratorMayHaveWrittenItOrItsFolders) {
  const std::pair<const char*, std::function<void(Harness&)>> cases[] = {
      {"a file others may write", [](Harness& h) { h.os.setForeign(kReleaseFile, {}, {u"Everyone"}); }},
      {"a file someone else owns", [](Harness& h) { h.os.setForeign(kReleaseFile, u"CORP\\mallory"); }},
      {"a link", [](Harness& h) { h.os.makeLink(kReleaseFile); }},
      {"a folder others may write",
       [](Harness& h) {
         h.os.addDirectory(u"C:\\drop");
         h.os.putFile(u"C:\\drop\\release.json", kReleaseText);
         h.os.setFolderRights(u"C:\\drop", {u"Everyone"}, {}, {});
       }},
  };
  for (const auto& [what, set] : cases) {
    SCOPED_TRACE(what);
    Harness h;
    setUpReleaseScene(h);
    h.os.addDirectory(u"C:\\");
    set(h);
    const std::u16string file = std::string(what).find("folder") != std::string::npos ? u"C:\\drop\\release.json"
                                                                                        : kReleaseFile;
    EXPECT_EQ(h.run(u"--release " + file + u" --exit-code"), 10) << h.out();
    EXPECT_THAT(h.out(), HasSubstr("o arquivo da atualiza\xE7\xE3o conjunta n\xE3o \xE9 confi\xE1vel"));
    for (const auto& member : kMembers) EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
  }
}

// -- all or none ---------------------------------------------------------------

TEST(Release, StopsWhatDependsFirstStartsWhatIsDependedOnFirstAndUpdatesThemAll) {
  Harness h;
  setUpReleaseScene(h);
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  expectAllOn(h, "v2");
  for (const auto& member : kMembers) {
    EXPECT_EQ(resultOf(h, member), kOk);
    EXPECT_EQ(h.os.contents(member.old()), versionOf(member, "v1"));
    EXPECT_FALSE(h.os.contents(member.next()));
  }
  // QZSync, which depends on QZAgent, stops first and starts last; the
  // others stop and start together; every stop before the first start.
  EXPECT_EQ(h.services.requests(), (std::vector<std::u16string>{u"stop QZSync", u"stop QZAgent", u"stop QZStore",
                                                                 u"start QZAgent", u"start QZStore", u"start QZSync"}));
  EXPECT_THAT(h.out(), HasSubstr("[QZSync]\r\n"));
}

TEST(Release, EndsAsAWholeWhateverOneOfItsServicesDoes) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> set;
    int status;
    const char* version;  // every service's at the end
    std::vector<const char*> results;  // in the file's order: a substring of each
    bool touched;
  };
  const auto pin = [](Harness& h, const char* name, const std::string& hash) {
    std::string text = kReleaseText;
    const std::string needle = std::string("{\"name\": \"") + name + "\"}";
    text.replace(text.find(needle), needle.size(),
                 std::string("{\"name\": \"") + name + "\", \"sha256\": \"" + hash + "\"}");
    h.os.putFile(kReleaseFile, text);
  };
  const Case cases[] = {
      {"the second to start does not",
       [](Harness& h) {
         auto& sync = *h.services.find(u"QZSync");
         sync.startOnlyFor = versionOf(kMembers[0], "v2");
         sync.start.diesAfterMs = 100;
       },
       11, "v1",
       {"Erro: ", "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZSync",
        "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZSync"},
       true},
      {"the last to stop refuses to",
       [](Harness& h) {
         h.services.find(u"QZAgent")->stop.refused = true;
       },
       11, "v1",
       {"Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZAgent", "Erro: Erro ao parar o servi\xE7o",
        "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZAgent"},
       true},
      {"a pin that does not match",
       [&pin](Harness& h) { pin(h, "QZStore", std::string(64, '0')); },
       10, "v1",
       {"Erro: a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o QZStore",
        "Erro: a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o QZStore", "Erro: "},
       false},
      {"a service that depends on its own dependent",
       [](Harness& h) { h.services.find(u"QZAgent")->dependsOn = {u"QZSync"}; },
       10, "v1",
       {"Depend\xEAncia circular entre os servi\xE7os: QZSync -> QZAgent -> QZSync",
        "recusada pelo servi\xE7o QZSync", "recusada pelo servi\xE7o QZSync"},
       false},
      {"a running dependent outside the release",
       [](Harness& h) {
         h.os.putFile(u"C:\\svc\\B.exe", kV1);
         h.services.addService(u"QZB", u"C:\\svc\\B.exe", platform::kServiceRunning).dependsOn = {u"QZStore"};
       },
       10, "v1",
       {"recusada pelo servi\xE7o QZStore", "recusada pelo servi\xE7o QZStore",
        "servi\xE7os dependentes em execu\xE7\xE3o: QZB"},
       false},
      {"one without a new version",
       [](Harness& h) { h.os.removeFile(kMembers[2].next()); },
       0, nullptr, {"Atualizado com sucesso!", "Atualizado com sucesso!", "N\xE3o foi encontrada a nova vers\xE3o"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    setUpReleaseScene(h);
    c.set(h);
    EXPECT_EQ(h.run(kReleaseArguments), c.status) << h.out();
    if (c.version) expectAllOn(h, c.version);
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
      const auto& member = kMembers[i];
      SCOPED_TRACE(toUtf8(member.name));
      EXPECT_THAT(resultOf(h, member), HasSubstr(c.results[i]));
      if (!c.touched) {
        EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
        EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
        EXPECT_FALSE(h.os.contents(member.old()));
      }
    }
  }
}

// A service of the release not registered yet is registered with the
// change, after every check of every service, and started with the rest.
TEST(Release, RegistersAServiceNotRegisteredYetOnlyOnceAllArePassed) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "another refused" : "all passed");
    Harness h;
    setUpReleaseScene(h);
    h.services.removeService(u"QZStore");
    h.os.removeFile(kMembers[2].exe());
    if (refused) h.os.putFile(kMembers[0].next(), "not an executable");
    const int status = h.run(kReleaseArguments);
    if (refused) {
      EXPECT_EQ(status, 10) << h.out();
      EXPECT_EQ(h.services.find(u"QZStore"), nullptr);
      EXPECT_EQ(h.os.contents(kMembers[2].next()), versionOf(kMembers[2], "v2"));
      continue;
    }
    EXPECT_EQ(status, 0) << h.out();
    ASSERT_NE(h.services.find(u"QZStore"), nullptr);
    EXPECT_TRUE(h.services.find(u"QZStore")->failureActions.actions.empty());
    h.services.find(u"QZStore")->failureActions = kRestartOnFailure;  // registered without any: none to put back
    expectAllOn(h, "v2");
  }
}

// A health command the release file gives a service runs as the command
// line's would: the program and the command line it was judged by.
TEST(Release, HoldsAServiceToTheHealthCommandItsFileGives) {
  const std::u16string line = u"\"C:\\Windows\\System32\\cmd.exe\" /d /c \"\"C:\\svc\\check.cmd\"\"";
  for (const bool passes : {true, false}) {
    SCOPED_TRACE(passes ? "passes" : "fails for the new version");
    Harness h;
    setUpReleaseScene(h, R"({"services": [{"name": "QZSync"}, {"name": "QZAgent", "healthCommand": )"
                         R"(["C:\\svc\\check.cmd"]}, {"name": "QZStore"}]})");
    h.os.putFile(u"C:\\svc\\check.cmd", "@exit /b 0");
    auto& agent = *h.services.find(u"QZAgent");
    h.probes.answer(line, [&agent, passes] {
      const bool next = agent.runningImage == versionOf(kMembers[1], "v2");
      return platform::fake::FakeHealthProbes::exited(next && !passes ? 1 : 0);
    });
    EXPECT_EQ(h.run(kReleaseArguments + u" --health-timeout 2"), passes ? 0 : 11) << h.out();
    expectAllOn(h, passes ? "v2" : "v1");
    ASSERT_FALSE(h.probes.commands().empty());
    for (const auto& [program, commandLine] : h.probes.commands()) {
      EXPECT_EQ(program, u"C:\\Windows\\System32\\cmd.exe");
      EXPECT_EQ(commandLine, line);
    }
  }
}

TEST(Release, WithNothingToDoAnywhereSaysSo) {
  Harness h;
  setUpReleaseScene(h);
  for (const auto& member : kMembers) h.os.removeFile(member.next());
  EXPECT_EQ(h.run(kReleaseArguments), 3) << h.out();
  expectAllOn(h, "v1");
  EXPECT_TRUE(h.services.requests().empty());
}

TEST(Release, IsBusyWhenAnotherRunHoldsAnyOfItsServices) {
  Harness h;
  setUpReleaseScene(h);
  h.os.holdLockElsewhere(runLockName(h.os.upperCase(kMembers[2].exe())));
  EXPECT_EQ(h.run(kReleaseArguments), 1618);
  EXPECT_THAT(h.out(), HasSubstr("Outra atualiza\xE7\xE3o do servi\xE7o QZStore j\xE1 est\xE1 em andamento."));
  EXPECT_TRUE(h.services.requests().empty());
  for (const auto& member : kMembers) EXPECT_FALSE(h.os.contents(member.result()));
}

TEST(Release, RollsEveryServiceBackAsOne) {
  Harness h;
  setUpReleaseScene(h);
  ASSERT_EQ(h.run(kReleaseArguments), 0) << h.out();
  EXPECT_EQ(h.run(u"--release C:\\svc\\release.json --rollback --exit-code"), 0) << h.out();
  expectAllOn(h, "v1");
  for (const auto& member : kMembers) {
    EXPECT_EQ(resultOf(h, member), "Revertido para a vers\xE3o anterior com sucesso!\r\n");
    EXPECT_EQ(h.os.contents(member.old()), versionOf(member, "v2"));
  }
}

TEST(Release, ChecksEveryServiceAndSaysTheOrderWithoutTouchingAny) {
  Harness h;
  setUpReleaseScene(h);
  EXPECT_EQ(h.run(kReleaseArguments + u" --check"), 0) << h.out();
  EXPECT_TRUE(h.services.requests().empty());
  EXPECT_THAT(h.out(), HasSubstr("[QZStore]\r\n"));
  EXPECT_THAT(h.out(), HasSubstr("iniciaria nesta ordem: QZAgent, QZSync, QZStore") );
  for (const auto& member : kMembers) {
    EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
    EXPECT_FALSE(h.os.contents(member.result()));
  }
  h.services.find(u"QZAgent")->dependsOn = {u"QZSync"};
  EXPECT_EQ(h.run(kReleaseArguments + u" --check"), 10) << h.out();
  EXPECT_THAT(h.out(), HasSubstr("depend\xEAncia circular entre QZSync, QZAgent"));
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

// -- what a release tells ------------------------------------------------------

TEST(ReleaseReport, OneReportWithEachServicesAndOneEventNamingThemAll) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> set;
    const char* outcome;
    int exitCode;
    std::vector<const char*> services;  // each one's outcome, in the file's order
    std::uint32_t eventId;
  };
  const Case cases[] = {
      {"updated", [](Harness&) {}, "updated", 0, {"updated", "updated", "updated"}, 1000},
      {"rolled back",
       [](Harness& h) {
         auto& sync = *h.services.find(u"QZSync");
         sync.startOnlyFor = versionOf(kMembers[0], "v2");
         sync.start.diesAfterMs = 100;
       },
       "rolled-back", 11, {"rolled-back", "rolled-back", "rolled-back"}, 1003},
      {"refused", [](Harness& h) { h.os.setForeign(kMembers[2].exe(), u"CORP\\mallory"); }, "refused", 10,
       {"refused", "refused", "refused"}, 1002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    setUpReleaseScene(h);
    h.os.addDirectory(u"C:\\reports");
    c.set(h);
    EXPECT_EQ(h.run(kReleaseArguments + u" --report C:\\reports\\release.json --event-log"), c.exitCode) << h.out();
    const auto report = h.os.contents(u"C:\\reports\\release.json").value_or("");
    EXPECT_THAT(report, HasSubstr("{\n  \"tool\": \"UpdateServiceQZ\",\n"));
    EXPECT_THAT(report, HasSubstr("\n  \"action\": \"update\",\n  \"release\": \"C:\\\\svc\\\\release.json\",\n"
                                  "  \"outcome\": \"" + std::string(c.outcome) + "\",\n  \"exitCode\": " +
                                  std::to_string(c.exitCode) + ",\n  \"services\": [\n    {\n"));
    std::size_t at = 0;
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
      // Each service's report, as its own run would write it, in order.
      at = report.find("\n      \"service\": \"" + toUtf8(kMembers[i].name) + "\",", at);
      ASSERT_NE(at, std::string::npos) << report;
      EXPECT_EQ(report.find("\"outcome\": \"" + std::string(c.services[i]) + "\"", at),
                report.find("\"outcome\": ", at))
          << report;
    }
    EXPECT_EQ(report.substr(report.size() - 12), "    }\n  ]\n}\n") << report;
    ASSERT_EQ(h.events.events().size(), 1u);
    const auto& event = h.events.events().front();
    EXPECT_EQ(event.id, c.eventId);
    EXPECT_EQ(event.strings.at(0), u"QZSync, QZAgent, QZStore");
    EXPECT_EQ(event.strings.at(1).rfind(u"QZSync: ", 0), 0u);
    EXPECT_THAT(toUtf8(event.strings.at(1)), HasSubstr("; QZStore: "));
    EXPECT_EQ(event.strings.at(5), toDecimal(c.exitCode));
  }
}

}  // namespace
}  // namespace usqz

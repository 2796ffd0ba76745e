// Healthy or rolled back: the health options, the waiting on the virtual
// clock, and what a failed check leaves.
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "platform/text.h"
#include "checks/health_command.h"
#include "harness.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::fake::FakeService;
using ::testing::HasSubstr;

const std::u16string kUrl = u"http://127.0.0.1:8080/health";

TEST(HealthOptions, EachKindAndItsValues) {
  const auto o = scanOptions({u"tool", u"--health-url", u"HTTPS://svc.example/ok", u"--health-tcp", u"[::1]:8443",
                              u"--health-tcp", u"db.local:5432", u"--health-command", u"check.cmd --quick",
                              u"--health-timeout", u"90"});
  ASSERT_EQ(o.health.size(), 4u);
  EXPECT_EQ(o.health[0].target, u"HTTPS://svc.example/ok");
  EXPECT_EQ(o.health[1].target, u"::1");
  EXPECT_EQ(o.health[1].port, 8443);
  EXPECT_EQ(o.health[2].target, u"db.local");
  EXPECT_EQ(o.health[3].kind, HealthCheck::Kind::Command);
  EXPECT_EQ(o.healthTimeoutSeconds, 90u);
  EXPECT_TRUE(o.malformed.empty());
  EXPECT_EQ(scanOptions({u"tool"}).healthTimeoutSeconds, 30u);

  for (const auto& bad : std::vector<std::vector<std::u16string>>{
           {u"--health-url", u"ftp://x/"}, {u"--health-url", u"http://"}, {u"--health-url"},
           {u"--health-tcp", u"host"}, {u"--health-tcp", u"host:0"}, {u"--health-tcp", u"host:65536"},
           {u"--health-tcp", u"::1:80"}, {u"--health-tcp", u":80"}, {u"--health-command", u"  "},
           {u"--health-timeout", u"0"}, {u"--health-timeout", u"3601"}, {u"--health-timeout", u"1e3"}}) {
    std::vector<std::u16string> arguments = {u"tool", u"--service-name", u"QZAgent"};
    arguments.insert(arguments.end(), bad.begin(), bad.end());
    EXPECT_FALSE(scanOptions(arguments).malformed.empty()) << toUtf8(bad.back());
  }
}

TEST(HealthOptions, AMalformedValueIsRefusedBeforeAnythingIsTouched) {
  Harness h;
  h.os.putFile(kNew, kV2);
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --health-tcp localhost"), 2);
  EXPECT_EQ(h.out(), lines({"Erro: Op\xE7\xE3o inv\xE1lida: --health-tcp localhost: n\xE3o \xE9 host:porta (porta de 1 a "
                            "65535; IPv6 entre colchetes)"}));
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
}

// QZAgent running v1; v2 beside the tool; the health endpoint answers as
// the version that runs is scripted to.
struct HealthRun : ::testing::Test {
  Harness h;
  FakeService* service = nullptr;
  std::map<std::string, std::function<platform::ProbeAnswer()>> byVersion;

  void SetUp() override {
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    h.os.putFile(u"C:\\svc\\check.cmd", "@exit /b 0");
    service = &h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
    service->runningImage = kV1;
    byVersion[kV1] = [] { return FakeHealthProbes::http(200); };
    byVersion[kV2] = [] { return FakeHealthProbes::http(200); };
    h.probes.answer(kUrl, [this] {
      if (!service->runningImage) return FakeHealthProbes::refused();
      return byVersion.at(*service->runningImage)();
    });
  }
  int run(const std::u16string& options = u"--health-url " + kUrl) {
    return h.run(u"--service-name QZAgent --exit-code " + options);
  }
  std::string result() const { return h.os.contents(kResult).value_or(""); }
};

TEST_F(HealthRun, HealthyInTimeIsUpdated) {
  const auto started = h.clock.now();
  byVersion[kV2] = [this, started] { return FakeHealthProbes::http(h.clock.now() - started < 4'000 ? 503 : 204); };
  EXPECT_EQ(run(), 0) << result();
  EXPECT_THAT(h.out(), HasSubstr(lines({"Service :: status: iniciado",
                                        "Service :: verificando sa\xFA" "de: http://127.0.0.1:8080/health ...",
                                        "Service :: saud\xE1vel (http://127.0.0.1:8080/health: HTTP 204)", "",
                                        "Atualiza\xE7\xE3o finalizada."})));
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
  // Tries a fraction of a second apart, not a busy loop.
  const auto& tries = h.probes.tries();
  ASSERT_GE(tries.size(), 3u);
  for (std::size_t i = 1; i < tries.size(); ++i) EXPECT_GE(tries[i] - tries[i - 1], 250u);
  EXPECT_LE(tries.size(), 4'000u / 250 + 3);
}

TEST_F(HealthRun, AnUnhealthyNewVersionIsRolledBackAndThePreviousOneChecked) {
  byVersion[kV2] = [] { return FakeHealthProbes::http(503); };
  const auto started = h.clock.now();
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 5"), 11);
  EXPECT_EQ(result(), "Erro: A verifica\xE7\xE3o de sa\xFA" "de n\xE3o passou em 5 s: http://127.0.0.1:8080/health: "
                      "HTTP 503. Vers\xE3o anterior restaurada e em execu\xE7\xE3o.\r\n");
  EXPECT_EQ(service->runningImage, kV1);
  EXPECT_EQ(h.os.contents(kNew), kV2);
  // About the timeout, not more.
  EXPECT_LT(h.clock.now() - started, 5'000u + 3'500u + 3'000u);
}

TEST_F(HealthRun, AVersionThatNeverListensIsRolledBackAtTheTimeout) {
  byVersion[kV2] = [] { return FakeHealthProbes::refused(); };
  h.texts.set(10061, u"No connection could be made because the target machine actively refused it.");
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 3"), 11);
  EXPECT_THAT(result(), HasSubstr("n\xE3o passou em 3 s: http://127.0.0.1:8080/health: No connection could be made "
                                  "because the target machine actively refused it"));
}

TEST_F(HealthRun, APreviousVersionUnhealthyTooNeedsAnAdministrator) {
  byVersion[kV1] = byVersion[kV2] = [] { return FakeHealthProbes::http(500); };
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 2"), 12);
  EXPECT_THAT(result(), HasSubstr("HTTP 500. Vers\xE3o anterior restaurada, mas n\xE3o respondeu \xE0 verifica\xE7\xE3o: "
                                  "A verifica\xE7\xE3o de sa\xFA" "de n\xE3o passou em 2 s"));
  EXPECT_EQ(service->runningImage, kV1);
  EXPECT_EQ(service->state, platform::kServiceRunning);
}

// The process watch goes on meanwhile: a version that dies while it is
// checked is rolled back at once, not at the timeout.
TEST_F(HealthRun, AVersionThatDiesDuringTheWaitIsRolledBackAtOnce) {
  service->startOnlyFor = kV2;
  service->start.exitsSilentlyAfterMs = 2'500;  // past the start's own watch
  byVersion[kV2] = [] { return FakeHealthProbes::http(503); };
  const auto started = h.clock.now();
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 600"), 11);
  EXPECT_THAT(result(), HasSubstr("O servi\xE7o parou durante a verifica\xE7\xE3o de sa\xFA" "de"));
  EXPECT_LT(h.clock.now() - started, 10'000u);
}

// The check the tests run: a batch file beside the tool, through cmd.exe.
const std::u16string kCheckLine = u"\"C:\\Windows\\System32\\cmd.exe\" /d /c \"\"C:\\svc\\check.cmd\"\"";

TEST_F(HealthRun, ACommandThatExits0Passes) {
  h.probes.answer(kCheckLine, [] { return FakeHealthProbes::exited(0); });
  EXPECT_EQ(run(u"--health-command C:\\svc\\check.cmd"), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: saud\xE1vel (comando C:\\svc\\check.cmd: c\xF3" "digo de sa\xED" "da 0)"));
}

// The command fails (or hangs) while v2 runs, and passes for v1.
TEST_F(HealthRun, ACommandThatFailsSaysItsCodeAndLastLine) {
  h.probes.answer(kCheckLine, [this] {
    return service->runningImage == kV2 ? FakeHealthProbes::exited(3, u"banco de dados inacess\u00edvel")
                                        : FakeHealthProbes::exited(0);
  });
  EXPECT_EQ(run(u"--health-command C:\\svc\\check.cmd --health-timeout 2"), 11);
  EXPECT_THAT(result(), HasSubstr("comando C:\\svc\\check.cmd: c\xF3" "digo de sa\xED" "da 3, banco de dados inacess\xEDvel."));
}

TEST_F(HealthRun, ACommandThatHangsIsGivenAFewSecondsATry) {
  h.probes.answer(kCheckLine,
                  [this] { return service->runningImage == kV2 ? FakeHealthProbes::hangs() : FakeHealthProbes::exited(0); });
  EXPECT_EQ(run(u"--health-command C:\\svc\\check.cmd --health-timeout 12"), 11);
  EXPECT_THAT(result(), HasSubstr("comando C:\\svc\\check.cmd: sem resposta no tempo da tentativa"));
  // Tries of 5 s at most: three in 12 s for the new version, one for the old.
  EXPECT_EQ(h.probes.tries().size(), 4u);
}

TEST_F(HealthRun, EveryCheckMustPass) {
  h.probes.answer(u"127.0.0.1:5432", [] { return FakeHealthProbes::refused(); });
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-tcp 127.0.0.1:5432 --health-timeout 2"), 12);
  EXPECT_THAT(result(), HasSubstr("tcp 127.0.0.1:5432"));
  h.os.putFile(kNew, kV2);
  h.probes.answer(u"127.0.0.1:5432", [] { return FakeHealthProbes::exited(0); });
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-tcp 127.0.0.1:5432"), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: saud\xE1vel (tcp 127.0.0.1:5432: conectado)"));
}

// An IPv6 literal in a URL reaches the probe as it was given. (Wine's
// WinHTTP is not asked to reach [::1]: that is left to real Windows.)
TEST_F(HealthRun, AnIpv6LiteralInAUrlIsProbed) {
  const std::u16string url = u"http://[::1]:8080/health";
  h.probes.answer(url, [] { return FakeHealthProbes::http(200); });
  EXPECT_EQ(run(u"--health-url " + url), 0) << result();
  EXPECT_THAT(h.out(), HasSubstr("Service :: saud\xE1vel (http://[::1]:8080/health: HTTP 200)"));
}

// A redirect is not healthy, whatever it leads to; the reason names it.
TEST_F(HealthRun, ARedirectIsNotHealthy) {
  byVersion[kV2] = [] { return FakeHealthProbes::redirect(302, u"http://127.0.0.1:8080/login"); };
  EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 2"), 11);
  EXPECT_THAT(result(), HasSubstr("http://127.0.0.1:8080/health: HTTP 302, redirecionado para "
                                  "http://127.0.0.1:8080/login, n\xE3o seguido."));
}

// Every failure has a reason: the system's text, else the error's name and
// number (WinHTTP's are not in the system's message table).
TEST_F(HealthRun, EveryFailureHasAReason) {
  for (const auto& [error, says] : std::vector<std::pair<platform::OsError, std::string>>{
           {12007, "ERROR_WINHTTP_NAME_NOT_RESOLVED (12007)"},
           {12175, "ERROR_WINHTTP_SECURE_FAILURE (12175)"},
           {4242, "erro (4242)"}}) {
    SCOPED_TRACE(says);
    h.os.putFile(kNew, kV2);
    byVersion[kV2] = [error = error] { return FakeHealthProbes::refused(error); };
    EXPECT_EQ(run(u"--health-url " + kUrl + u" --health-timeout 1"), 11);
    EXPECT_THAT(result(), HasSubstr("http://127.0.0.1:8080/health: " + says + "."));
  }
}

// Each try is given 5 s at most and never more than what is left of the
// timeout, whatever the probe: a try that takes all it is given (a server
// that trickles, a lookup that hangs, a command that never ends) ends the
// whole wait within the timeout.
TEST(HealthDeadlines, NoTryOutlastsTheTimeout) {
  for (const auto* option : {u"--health-url http://127.0.0.1:8080/health", u"--health-tcp 127.0.0.1:5432",
                             u"--health-command C:\\svc\\check.cmd"}) {
    for (const std::uint32_t seconds : {1u, 2u, 6u, 12u, 31u}) {
      SCOPED_TRACE(::testing::Message() << toUtf8(option) << ", " << seconds << " s");
      Harness h;
      h.os.putFile(kCurrent, kV1);
      h.os.putFile(kNew, kV2);
      h.os.putFile(u"C:\\svc\\check.cmd", "x");
      auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
      service.runningImage = kV1;
      // Which tries were the new version's.
      std::vector<bool> ofTheNewVersion;
      for (const auto* target : {u"http://127.0.0.1:8080/health", u"127.0.0.1:5432", kCheckLine.c_str()}) {
        const bool command = target == kCheckLine.c_str();
        h.probes.answer(target, [&service, &ofTheNewVersion, command] {
          ofTheNewVersion.push_back(service.runningImage == kV2);
          if (service.runningImage == kV2) return FakeHealthProbes::hangs();
          return command ? FakeHealthProbes::exited(0) : FakeHealthProbes::http(200);
        });
      }
      h.run(u"--service-name QZAgent --exit-code " + std::u16string(option) + u" --health-timeout " +
            toDecimal(seconds));
      const auto& tries = h.probes.tries();
      const auto& budgets = h.probes.budgets();
      ASSERT_EQ(ofTheNewVersion.size(), tries.size());
      ASSERT_TRUE(ofTheNewVersion.front());
      const auto first = tries.front();
      std::uint64_t end = first;
      for (std::size_t i = 0; i < tries.size() && ofTheNewVersion[i]; ++i) {
        EXPECT_LE(budgets[i], 5'000u);
        EXPECT_LE(tries[i] - first + budgets[i], std::uint64_t{seconds} * 1000) << "try " << i;
        end = std::max(end, tries[i] + budgets[i]);
      }
      EXPECT_LE(end - first, std::uint64_t{seconds} * 1000);
    }
  }
}

// Loopback and link-local hosts never go through a proxy.
TEST(HealthDeadlines, TheMachineAndItsLinkAreReachedDirectly) {
  for (const auto* host : {u"localhost", u"LOCALHOST.", u"127.0.0.1", u"127.1.2.3", u"::1", u"[::1]", u"169.254.10.1",
                           u"fe80::1", u"[FE80::1%4]"}) {
    EXPECT_TRUE(platform::isLocalHost(host)) << toUtf8(host);
  }
  // Names that only begin like one are other machines'.
  for (const auto* host : {u"example.com", u"10.0.0.1", u"128.0.0.1", u"::2", u"[2001:db8::1]", u"localhost.example",
                           u"127.example.com", u"127.0.0.1.example.com", u"feature.corp", u"fea", u"febe.example",
                           u"fe80.example.com", u"169.254.1.1.nip.io", u"127.0.0.256", u"1270.0.0.1", u"127..0.1",
                           u"fec0::1"}) {
    EXPECT_FALSE(platform::isLocalHost(host)) << toUtf8(host);
  }
}

TEST_F(HealthRun, WithoutTheOptionsNothingIsProbed) {
  EXPECT_EQ(run(u""), 0);
  EXPECT_TRUE(h.probes.tries().empty());
}

// The program a health command runs is the one named: the longest prefix
// that names a file, System32 for a bare name, and nothing else.
TEST(HealthCommand, RunsTheProgramTheAdministratorNamed) {
  const std::u16string cmd = u"\"C:\\Windows\\System32\\cmd.exe\" /d /c ";
  const std::u16string ps = u"\"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile "
                            u"-ExecutionPolicy Bypass -File ";
  struct Case {
    const char16_t* value;
    const char16_t* program;  // nothing: refused
    std::u16string line;      // or why
  };
  const std::vector<Case> cases = {
      {u"C:\\has space\\check.cmd --quick", u"C:\\Windows\\System32\\cmd.exe",
       cmd + u"\"\"C:\\has space\\check.cmd\" --quick\""},
      {u"C:\\has space\\probe.exe  a  b", u"C:\\has space\\probe.exe", u"\"C:\\has space\\probe.exe\" a  b"},
      {u"C:\\has space\\old.bat", u"C:\\Windows\\System32\\cmd.exe", cmd + u"\"\"C:\\has space\\old.bat\"\""},
      {u"\"C:\\has space\\probe.exe\" a", u"C:\\has space\\probe.exe", u"\"C:\\has space\\probe.exe\" a"},
      {u"\"C:\\has space\\probe.exe a", nullptr, u"nenhum arquivo com esse caminho"},
      {u"C:\\has space\\check.ps1 -Fast", u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
       ps + u"\"C:\\has space\\check.ps1\" -Fast"},
      // The longest name that exists, never the planted shorter one.
      {u"C:\\has space\\deep one\\x.exe", u"C:\\has space\\deep one\\x.exe", u"\"C:\\has space\\deep one\\x.exe\""},
      {u"ping -n 1 127.0.0.1", u"C:\\Windows\\System32\\ping.exe",
       u"\"C:\\Windows\\System32\\ping.exe\" -n 1 127.0.0.1"},
      {u"whoami.exe", u"C:\\Windows\\System32\\whoami.exe", u"\"C:\\Windows\\System32\\whoami.exe\""},
      {u"planted --x", nullptr, u"planted n\u00e3o \u00e9 um programa do sistema"},
      {u"check.cmd", nullptr, u"check.cmd n\u00e3o \u00e9 um programa do sistema"},
      {u".\\check.cmd", nullptr, u"use um caminho completo ou um programa do sistema"},
      {u"C:\\has space\\missing.cmd", nullptr, u"nenhum arquivo com esse caminho"},
      {u"C:\\has space\\notes.txt", nullptr, u"n\u00e3o \u00e9 .exe, .cmd, .bat nem .ps1"},
  };
  Harness h;
  h.os.addDirectory(u"C:\\has space");
  h.os.addDirectory(u"C:\\has space\\deep one");
  h.os.addDirectory(u"C:\\Windows\\System32");
  for (const auto* file : {u"C:\\has.exe", u"C:\\has space\\check.cmd", u"C:\\has space\\probe.exe",
                           u"C:\\has space\\old.bat", u"C:\\has space\\check.ps1", u"C:\\has space\\deep.exe",
                           u"C:\\has space\\deep one\\x.exe", u"C:\\has space\\notes.txt",
                           u"C:\\Windows\\System32\\ping.exe", u"C:\\Windows\\System32\\whoami.exe", u"C:\\svc\\planted.exe"}) {
    h.os.putFile(file, "x");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.value));
    Options options;
    options.health.push_back({HealthCheck::Kind::Command, c.value, 0, {}, {}, {}});
    const auto why = resolveHealthCommands(h.os, options);
    if (c.program) {
      EXPECT_FALSE(why) << toUtf8(why.value_or(u""));
      EXPECT_EQ(toUtf8(options.health[0].program), toUtf8(c.program));
      EXPECT_EQ(toUtf8(options.health[0].commandLine), toUtf8(c.line));
    } else {
      ASSERT_TRUE(why);
      EXPECT_THAT(toUtf8(*why), HasSubstr(toUtf8(c.line)));
    }
  }
}

// The elevated run executes them: a program or a script that someone
// else could change, or whose folder (or one above) they could, is refused
// as an option; System32's programs, and files only administrators may
// change, pass.
TEST(HealthCommand, OnlyWhatAdministratorsAloneMayChangeRuns) {
  struct Case {
    const char16_t* value;
    std::function<void(Harness&)> set;
    const char* says;  // nothing: passes
  };
  const std::vector<Case> cases = {
      {u"ping -n 1 127.0.0.1", [](Harness&) {}, nullptr},
      {u"C:\\checks\\check.cmd", [](Harness&) {}, nullptr},
      {u"C:\\checks\\check.ps1", [](Harness& h) { h.os.setFolderRights(u"C:\\", {u"BUILTIN\\Users"}, {}, {}); },
       nullptr},
      {u"C:\\checks\\check.cmd", [](Harness& h) { h.os.setForeign(u"C:\\checks\\check.cmd", u"", {u"Everyone"}); },
       "--health-command C:\\checks\\check.cmd: Local n\xE3o confi\xE1vel: C:\\checks\\check.cmd pode ser "
       "alterado por Everyone; s\xF3 administradores podem gravar onde a ferramenta atua"},
      {u"C:\\checks\\probe.exe --fast", [](Harness& h) { h.os.setForeign(u"C:\\checks", u"QZ\\ops"); },
       "--health-command C:\\checks\\probe.exe --fast: Local n\xE3o confi\xE1vel: C:\\checks\\ pertence a QZ\\ops"},
      {u"\"C:\\checks\\check.ps1\"", [](Harness& h) { h.os.setFolderRights(u"C:\\", {}, {}, {u"Everyone"}); },
       "Local n\xE3o confi\xE1vel: C:\\ permite que Everyone apague ou renomeie o que ela cont\xE9m"},
      {u"C:\\checks\\check.ps1", [](Harness& h) { h.os.setAlias(u"C:\\checks\\", u"D:\\open\\"); },
       "Local n\xE3o confi\xE1vel: D:\\open\\ pode ser alterado por Everyone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.value));
    Harness h;
    h.os.addDirectory(u"C:\\");
    h.os.addDirectory(u"C:\\checks");
    h.os.addDirectory(u"D:\\open");
    h.os.setForeign(u"D:\\open", u"", {u"Everyone"});
    h.os.addDirectory(u"C:\\Windows\\System32");
    for (const auto* file : {u"C:\\checks\\check.cmd", u"C:\\checks\\check.ps1", u"C:\\checks\\probe.exe",
                             u"C:\\Windows\\System32\\ping.exe", u"C:\\Windows\\System32\\cmd.exe",
                             u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe"}) {
      h.os.putFile(file, "x");
    }
    c.set(h);
    Options options;
    options.health.push_back({HealthCheck::Kind::Command, c.value, 0, {}, {}, {}});
    ASSERT_FALSE(resolveHealthCommands(h.os, options));
    const auto why = untrustedHealthCommand(h.platform, options);
    if (c.says == nullptr) {
      EXPECT_FALSE(why) << toUtf8(why.value_or(u""));
    } else {
      ASSERT_TRUE(why);
      EXPECT_THAT(h.os.toNarrow(*why, platform::CodePage::Ansi), HasSubstr(c.says));
    }
  }
}

// Refused before anything is touched, as any malformed option.
TEST(HealthCommand, OneThatCannotBeResolvedTouchesNothing) {
  Harness h;
  h.os.putFile(kCurrent, kV1);
  h.os.putFile(kNew, kV2);
  h.os.putFile(kResult, "anterior\r\n");
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --health-command C:\\svc\\missing.cmd"), 2);
  EXPECT_EQ(h.out(), "Erro: Op\xE7\xE3o inv\xE1lida: --health-command C:\\svc\\missing.cmd: nenhum arquivo com esse "
                     "caminho\r\n");
  EXPECT_EQ(h.os.contents(kResult), "anterior\r\n");
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
}

}  // namespace
}  // namespace usqz

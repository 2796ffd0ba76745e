// The watch window for real: the new version of the test service watched
// for a few seconds after its start under Wine's service manager, rolled
// back when it dies or fails its health checks in that time, confirmed
// when it does not; a run ended from outside in its window, run again by
// the deployment as it was; and a release watched through one window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"
// After windows.h (kept lean), which it needs.
#include <winsock2.h>

#include "e2e_update.h"
#include "loopback_port.h"
#include "platform/error_text.h"
#include "platform/text.h"
#include "platform/win32/unique_handles.h"

namespace usqz::testing {
namespace {

using platform::win32::UniqueKernelHandle;
using platform::win32::UniqueScHandle;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kRolledBack = ". Vers\xE3o anterior restaurada e em execu\xE7\xE3o.\r\n";
const std::string kWatchFailed = "A nova vers\xE3o parou durante a observa\xE7\xE3o";
const std::string kWatchDone = "Observa\xE7\xE3o conclu\xED" "da: ";

// When in the window a failure came.
std::string after(const std::string& duration) { return ", ap\xF3s " + duration; }

std::string watching(const std::string& duration) { return "Observando a nova vers\xE3o por " + duration + " ..."; }

// The system's words for an exit code, as the tool quotes them after a
// cause: the one message table both read, here Wine's.
std::string systemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_MAX_WIDTH_MASK,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return {};
  const std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
  LocalFree(buffer);
  return ansi(platform::oneLineSystemMessage(text));
}

UniqueScHandle openService(const std::u16string& name, DWORD access) {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  return UniqueScHandle(OpenServiceW(manager.get(), reinterpret_cast<const wchar_t*>(name.c_str()), access));
}

// The process the manager says runs the service; 0 when none.
DWORD serviceProcess(const std::u16string& name) {
  const auto service = openService(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                        sizeof status, &needed)) {
    return 0;
  }
  return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

bool waitForState(const std::u16string& name, DWORD state) {
  for (int pass = 0; pass < 300; ++pass) {
    if (queryServiceState(name) == state) return true;
    Sleep(50);
  }
  return false;
}

// v1 installed and running, v2 beside the tool, updated with a window.
struct Watched : Update {
  std::u16string journal = folder / (u"qz_" + item + u".journal");

  void SetUp() override {
    Update::SetUp();
    installV1(true);
  }
  std::string tail() const { return lines({"", "Atualiza\xE7\xE3o finalizada.", ""}); }
  std::size_t count(const std::string& event) const {
    const auto all = events();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), event));
  }
  // The journal, read once no run holds it: a run replaces it by a rename,
  // which anyone holding it open makes fail.
  bool journalSaysWatching() const { return readFile(journal).find("\r\nstep: watching\r\n") != std::string::npos; }
  // When the test service's log first says `event` ("v2 started"), by the
  // machine's tick; 0 when it does not yet.
  ULONGLONG tickOf(const std::string& event) const {
    std::istringstream log(readFile(folder / u"events.log"));
    std::string line;
    while (std::getline(log, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto space = line.find(' ');
      if (space != std::string::npos && line.substr(space + 1) == event) return std::stoull(line.substr(0, space));
    }
    return 0;
  }

  void expectUpdated(const ProcessResult& run) {
    EXPECT_EQ(run.exitStatus, 0u) << run.out;
    EXPECT_EQ(result(), kSuccess) << run.out;
    EXPECT_EQ(version(current), "v2");
    EXPECT_EQ(version(backup), "v1");
    EXPECT_FALSE(fileExists(fresh));
    EXPECT_FALSE(fileExists(journal));
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  }
  // Run with --exit-code: 11, v1 running again, v2 back at its name for
  // the operator, and the result file's line the cause and the rollback.
  void expectRolledBack(const ProcessResult& run, const std::string& cause) {
    EXPECT_EQ(run.exitStatus, 11u) << run.out;
    EXPECT_EQ(result(), "Erro: " + cause + kRolledBack) << run.out;
    expectBackOnV1();
  }
  // The previous version in place and running again, the new one back at
  // its own name, nothing of the run left.
  void expectBackOnV1() {
    EXPECT_EQ(version(current), "v1");
    EXPECT_EQ(version(fresh), "v2");
    EXPECT_FALSE(fileExists(backup));
    EXPECT_FALSE(fileExists(journal));
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
    EXPECT_EQ(lastStart(), "v1 started");
  }
  // The last build the log says started: other events (the health
  // endpoint's) may follow it.
  std::string lastStart() const {
    const auto all = events();
    const auto last = std::find_if(all.rbegin(), all.rend(), [](const std::string& event) {
      return event == "v1 started" || event == "v2 started";
    });
    return last == all.rend() ? "none" : *last;
  }
};

// The new version goes down 6 s into a 15 s window, with a word to the
// manager and without one (which Wine's manager never notices: the run
// sees its process end); either way it is rolled back. Its 1.5 s watch
// after the start comes before the window: the service dies 8 s after it
// reported running, 6.5 s into the window less the moments the run takes
// to see it running and to write its journal.
TEST_F(Watched, ANewVersionThatGoesDownInTheWindowIsRolledBack) {
  const struct {
    const char* how;
    std::string config;
    std::string why;  // after the time
  } rows[] = {
      {"reported stopped with an exit code", "v2:die_after_ms=8000\nv2:exit_code=1067\n", ": " + systemText(1067)},
      {"its process ended without a word", "v2:vanish_after_ms=8000\n", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    behaviour(row.config);
    const auto began = GetTickCount64();
    const auto run = update(u" --exit-code --watch 15");
    const auto took = GetTickCount64() - began;
    const auto cause = kWatchFailed + after("6 s") + row.why;
    expectRolledBack(run, cause);
    EXPECT_THAT(run.out, HasSubstr(lines({"Service :: status: iniciado", watching("15 s")})));
    EXPECT_THAT(run.out, ::testing::EndsWith(errorLine(cause + kRolledBack.substr(0, kRolledBack.size() - 2))));
    EXPECT_THAT(run.out, Not(HasSubstr(kWatchDone)));
    EXPECT_THAT(run.out, HasSubstr("  -> Devolvendo a nova vers\xE3o: EXE -> NEW\r\n"
                                   "  -> Restaurando vers\xE3o anterior: OLD -> EXE\r\n"
                                   "Service :: iniciando ...\r\nService :: status: iniciado\r\n"));
    EXPECT_GE(took, 8'000u) << "ended before the new version went down";
    // Ready for the next row: v2 back at its name, v1 running.
    copyFile(testServiceV2(), fresh);
  }
}

TEST_F(Watched, ASteadyNewVersionIsConfirmedAfterItsWindow) {
  const auto began = GetTickCount64();
  const auto run = update(u" --exit-code --watch 5");
  const auto took = GetTickCount64() - began;
  expectUpdated(run);
  EXPECT_EQ(run.out, head() + lines({"Service :: status: iniciado", "Service :: parando ...", "Service :: parado",
                                     "  -> Fazendo backup da versao atual: EXE -> OLD",
                                     "  -> Ativando nova vers\xE3o: NEW -> EXE", "Service :: iniciando ...",
                                     "Service :: status: iniciado", watching("5 s"), kWatchDone + "5 s sem falhas"}) +
                         tail());
  EXPECT_GE(took, 5'000u);
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started", "v1 stop requested", "v1 stopped", "v2 started"}));
}

// What becomes of the new version while no run watches it.
enum class Meanwhile { Nothing, Killed, Stopped, Restarted };

// The run ended from outside about 3 s into its 8 s window, then the
// deployment's retry: the same new version copied to its name again and
// the same command line. A new version still running as the same process
// is watched for the rest of the window and confirmed; one that went down
// or was restarted meanwhile is rolled back.
struct EndedInTheWindow : Watched {
  std::u16string commandLine = u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name +
                               u" --exit-code --watch 8";
  ProcessResult killed;
  ULONGLONG windowBegan = 0;  // by the machine's tick
  DWORD watched = 0;          // the process the run watched

  // Ended 3 s after v2 said it runs, which is before the window (the
  // start's own watch of 1.5 s comes first), at 4.5 s. The journal is not
  // opened meanwhile, which would hold it against the run's next write:
  // its size is looked at in the folder's listing, and when it first had
  // the size of the last one, the one that says the run watches, is the
  // window's start or a poll after it.
  void endInTheWindow() {
    ULONGLONG started = 0;
    std::map<ULONGLONG, ULONGLONG> firstOfSize;
    const auto size = [this]() -> std::optional<ULONGLONG> {
      WIN32_FIND_DATAW entry;
      const HANDLE found = FindFirstFileW(reinterpret_cast<const wchar_t*>(journal.c_str()), &entry);
      if (found == INVALID_HANDLE_VALUE) return std::nullopt;
      FindClose(found);
      return (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    };
    killed = runProcessEndedWhen(commandLine, folder.path(), [&] {
      if (const auto bytes = size()) firstOfSize.emplace(*bytes, GetTickCount64());
      if (started == 0) started = tickOf("v2 started");
      return started != 0 && GetTickCount64() - started >= 4'500;
    });
    ASSERT_NE(started, 0u) << "ended with " << killed.exitStatus << ", result " << result() << "\n" << killed.out;
    ASSERT_TRUE(journalSaysWatching()) << "killed before its window\n" << killed.out;
    ASSERT_TRUE(size() && firstOfSize.count(*size()));
    windowBegan = firstOfSize[*size()];
    watched = serviceProcess(name);
    ASSERT_NE(watched, 0u);
  }
};

struct KilledInTheWindow : EndedInTheWindow, ::testing::WithParamInterface<Meanwhile> {};

TEST_P(KilledInTheWindow, TheRetryWatchesTheRestOrRollsBack) {
  endInTheWindow();
  ASSERT_FALSE(HasFatalFailure());

  DWORD replacement = 0;
  switch (GetParam()) {
    case Meanwhile::Nothing:
      break;
    case Meanwhile::Killed: {
      // Wine's manager goes on saying it runs, as that process.
      const UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, watched));
      ASSERT_TRUE(process) << GetLastError();
      ASSERT_TRUE(TerminateProcess(process.get(), 1));
      ASSERT_EQ(WaitForSingleObject(process.get(), 10'000), WAIT_OBJECT_0);
      break;
    }
    case Meanwhile::Stopped: {
      // Down with a word to the manager. It exits inside the control, so
      // the control's answer never comes.
      const auto service = openService(name, SERVICE_USER_DEFINED_CONTROL);
      ASSERT_TRUE(service) << GetLastError();
      SERVICE_STATUS status{};
      ControlService(service.get(), kTestServiceExitNow, &status);
      ASSERT_TRUE(waitForState(name, SERVICE_STOPPED));
      break;
    }
    case Meanwhile::Restarted: {
      requestStop(name);
      ASSERT_TRUE(waitForState(name, SERVICE_STOPPED));
      const auto service = openService(name, SERVICE_START);
      ASSERT_TRUE(service && StartServiceW(service.get(), 0, nullptr)) << GetLastError();
      ASSERT_TRUE(waitForState(name, SERVICE_RUNNING));
      replacement = serviceProcess(name);
      ASSERT_NE(replacement, watched);
      break;
    }
  }

  copyFile(testServiceV2(), fresh);
  const auto again = runProcess(commandLine, folder.path());
  const auto sinceTheWindowBegan = GetTickCount64() - windowBegan;
  SCOPED_TRACE("the killed run:\n" + killed.out + "--- the retry:\n" + again.out);
  if (GetParam() == Meanwhile::Nothing) {
    expectUpdated(again);
    EXPECT_EQ(serviceProcess(name), watched) << "the very process watched, never restarted";
    EXPECT_EQ(count("v2 started"), 1u);
    EXPECT_THAT(again.out, HasSubstr(kWatchDone));
    EXPECT_GE(sinceTheWindowBegan + 100, 8'000u) << "confirmed before the window was over";
  } else {
    EXPECT_EQ(again.exitStatus, 11u);
    EXPECT_THAT(result(), ::testing::StartsWith("Erro: "));
    EXPECT_THAT(result(), ::testing::EndsWith(kRolledBack));
    expectBackOnV1();
    if (GetParam() == Meanwhile::Restarted) {
      EXPECT_THAT(result(), HasSubstr("O servi\xE7o foi reiniciado durante a observa\xE7\xE3o: o processo " +
                                      std::to_string(watched) + " deu lugar ao " + std::to_string(replacement)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Meanwhile, KilledInTheWindow,
                         ::testing::Values(Meanwhile::Nothing, Meanwhile::Killed, Meanwhile::Stopped,
                                           Meanwhile::Restarted),
                         [](const ::testing::TestParamInfo<Meanwhile>& info) {
                           switch (info.param) {
                             case Meanwhile::Nothing: return std::string("StillRunning");
                             case Meanwhile::Killed: return std::string("ProcessKilled");
                             case Meanwhile::Stopped: return std::string("StoppedWithAWord");
                             case Meanwhile::Restarted: return std::string("Restarted");
                           }
                           return std::string();
                         });

// A retry with nothing copied again (a scheduled run, say) still finishes
// the window before anything else: the new version confirmed as it runs,
// then nothing to update.
TEST_F(EndedInTheWindow, ARetryWithNothingCopiedAgainFinishesTheWindowThenFindsNothingToDo) {
  endInTheWindow();
  ASSERT_FALSE(HasFatalFailure());
  const auto again = runProcess(commandLine, folder.path());
  const auto sinceTheWindowBegan = GetTickCount64() - windowBegan;
  SCOPED_TRACE("the killed run:\n" + killed.out + "--- the retry:\n" + again.out);
  EXPECT_EQ(again.exitStatus, 3u);
  EXPECT_EQ(result(), "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n");
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_FALSE(fileExists(journal));
  EXPECT_EQ(serviceProcess(name), watched);
  EXPECT_EQ(count("v2 started"), 1u);
  EXPECT_THAT(again.out, HasSubstr(kWatchDone));
  EXPECT_GE(sinceTheWindowBegan + 100, 8'000u) << "confirmed before the window was over";
}

// Health rounds every second in an 8 s window, two failed in a row
// tolerated no longer. The new version's endpoint starts answering 503
// 3 s after it runs, past its start's checks and half a second or so
// before the window's second round: for good, rolled back at its third;
// to one request only, one failed round, and confirmed.
TEST_F(Watched, HealthRoundsFailingInARowRollBackAndASingleFailedRoundDoesNot) {
  const auto port = freePort();
  const auto url = u"http://127.0.0.1:" + toDecimal(port) + u"/health";
  const auto options = u" --exit-code --health-url " + url + u" --watch 8 --health-interval 1 --health-failures 2";
  const std::string endpoint = "health_port=" + std::to_string(port) + "\n";

  behaviour(endpoint + "v2:health_fail_after_ms=3000\n");
  auto run = update(options);
  expectRolledBack(run, "A verifica\xE7\xE3o de sa\xFA" "de falhou 2 vezes seguidas durante a observa\xE7\xE3o" +
                            after("3 s") + ": " + toUtf8(url) + ": HTTP 503");
  EXPECT_THAT(run.out, HasSubstr(watching("8 s")));
  EXPECT_EQ(count("v2 health failed"), 2u) << "rolled back at the second failed round";

  copyFile(testServiceV2(), fresh);
  behaviour(endpoint + "v2:health_fail_after_ms=3000\nv2:health_fail_count=1\n");
  run = update(options);
  expectUpdated(run);
  EXPECT_EQ(count("v2 health failed"), 3u) << "one round of this run met the failure";
  // As many rounds as the window had intervals, at most; how many exactly
  // is the machine's pace.
  EXPECT_THAT(run.out, HasSubstr(watching("8 s")));
  const auto opening = kWatchDone + "8 s, ";
  const auto done = run.out.find(opening);
  ASSERT_NE(done, std::string::npos) << run.out;
  std::size_t digits = 0;
  const auto rounds = std::stoul(run.out.substr(done + opening.size()), &digits);
  EXPECT_GE(rounds, 2u);
  EXPECT_LE(rounds, 8u);
  const std::string closing = " rodadas de verifica\xE7\xE3o de sa\xFA" "de, 1 falha\r\n";
  EXPECT_EQ(run.out.substr(done + opening.size() + digits, closing.size()), closing) << run.out;
}

// A release is watched through one window for all of its services: two
// test services beside the tool, v1 running, v2 staged.
struct WatchedRelease : ::testing::Test {
  ScratchDirectory folder;
  ServiceNames names;  // declared after the folder: removed before it
  std::vector<std::u16string> services = {names.make(u"QZWA"), names.make(u"QZWB")};
  std::string v1 = readFile(testServiceV1());
  std::string v2 = readFile(testServiceV2());

  std::u16string path(std::size_t i, const char16_t* extension) const {
    return folder / (u"qz_" + services[i].substr(2) + extension);
  }
  std::string executable(std::size_t i) const { return "qz_" + toUtf8(services[i].substr(2)) + ".exe"; }
  // Each service's executable's version, and whether it runs.
  std::string state() const {
    std::string all;
    for (std::size_t i = 0; i < services.size(); ++i) {
      const auto bytes = readFile(path(i, u".exe"));
      all += (bytes == v1 ? "v1" : bytes == v2 ? "v2" : "other") +
             std::string(queryServiceState(services[i]) == static_cast<std::uint32_t>(SERVICE_RUNNING) ? "+ " : "- ");
    }
    return all;
  }
  std::string result(std::size_t i) const { return readFile(folder / (u"updateServiceQZ-" + services[i] + u".txt")); }
  void stage() {
    for (std::size_t i = 0; i < services.size(); ++i) copyFile(testServiceV2(), path(i, u".new"));
  }
  ProcessResult release(const std::u16string& options) {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --release release.json --exit-code" + options,
                      folder.path());
  }
  static std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
  }

  void SetUp() override {
    copyFile(builtTool(), folder / u"UpdateServiceQZ.exe");
    writeFile(folder / u"release.json", "{\"services\": [{\"name\": \"" + toUtf8(services[0]) + "\"}, {\"name\": \"" +
                                            toUtf8(services[1]) + "\"}]}");
    writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
    for (std::size_t i = 0; i < services.size(); ++i) {
      copyFile(testServiceV1(), path(i, u".exe"));
      installService(services[i], path(i, u".exe"), true);
    }
    stage();
  }
};

// The second service's new version vanishes in the window: the whole
// release is put back. Then, staged again and steady, it is confirmed
// after one window said once, not one a service.
TEST_F(WatchedRelease, OneWindowForAllAndAnyServiceGoingDownInItPutsTheReleaseBack) {
  writeFile(folder / u"test_service.cfg", "stop_ms=100\n" + executable(1) + ":v2:vanish_after_ms=5000\n");
  const auto failed = release(u" --watch 10");
  EXPECT_EQ(failed.exitStatus, 11u) << failed.out;
  EXPECT_EQ(state(), "v1+ v1+ ") << failed.out;
  EXPECT_EQ(occurrences(failed.out, watching("10 s")), 1u) << failed.out;
  EXPECT_THAT(result(1), ::testing::StartsWith("Erro: " + kWatchFailed + ", ap\xF3s ")) << failed.out;
  EXPECT_THAT(result(0), ::testing::StartsWith("Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o " +
                                               toUtf8(services[1]) + ": " + kWatchFailed + ", ap\xF3s "));
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_THAT(result(i), ::testing::EndsWith(kRolledBack));
    EXPECT_EQ(readFile(path(i, u".new")), v2);
    EXPECT_FALSE(fileExists(path(i, u".journal")));
  }

  writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
  stage();
  const auto began = GetTickCount64();
  const auto updated = release(u" --watch 4");
  const auto took = GetTickCount64() - began;
  EXPECT_EQ(updated.exitStatus, 0u) << updated.out;
  EXPECT_EQ(state(), "v2+ v2+ ") << updated.out;
  EXPECT_EQ(occurrences(updated.out, watching("4 s")), 1u) << updated.out;
  EXPECT_EQ(occurrences(updated.out, lines({kWatchDone + "4 s sem falhas"})), 1u) << updated.out;
  EXPECT_GE(took, 4'000u);
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(result(i), kSuccess);
    EXPECT_EQ(readFile(path(i, u".old")), v1);
    EXPECT_FALSE(fileExists(path(i, u".new")));
    EXPECT_FALSE(fileExists(path(i, u".journal")));
  }
}

}  // namespace
}  // namespace usqz::testing

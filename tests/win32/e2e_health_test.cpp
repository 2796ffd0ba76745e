// Healthy or rolled back, for real: the tool's health checks against the
// test service's own endpoint on 127.0.0.1 and a test command, under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"
// After windows.h (kept lean), which it needs.
#include <winsock2.h>

#include "platform/text.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "loopback_port.h"
#include "win32_test_environment.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;

// v1 installed and running, v2 beside the tool, both serving health on a
// port of their own per test as the configuration says.
struct Healthy : ::testing::Test {
  ScratchDirectory folder;
  ServiceNames names;
  std::u16string name = names.make(u"QZHLT");
  std::u16string item = name.substr(2);
  std::u16string current = folder / (u"qz_" + item + u".exe");
  std::u16string fresh = folder / (u"qz_" + item + u".new");
  std::uint16_t port = freePort();
  std::u16string url = u"http://127.0.0.1:" + toDecimal(port) + u"/health";

  void SetUp() override { copyFile(builtTool(), folder / u"UpdateServiceQZ.exe"); }
  void start(const std::string& config) {
    writeFile(folder / u"test_service.cfg", "health_port=" + std::to_string(port) + "\n" + config);
    copyFile(testServiceV1(), current);
    copyFile(testServiceV2(), fresh);
    installService(name, current, true);
  }
  ProcessResult update(const std::u16string& options) {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + u" --exit-code " +
                          options,
                      folder.path());
  }
  std::string result() const { return readFile(folder / (u"updateServiceQZ-" + name + u".txt")); }
  std::string running() const { return readFile(current) == readFile(testServiceV2()) ? "v2" : "v1"; }
  // Copied beside the tool: the run executes only what administrators
  // alone may change, and the build's folder may sit under a folder
  // everyone may write (/tmp).
  std::u16string probeProgram() const {
    const auto copy = folder / u"probe_command.exe";
    if (!fileExists(copy)) {
      const auto tool = builtTool();
      copyFile(tool.substr(0, tool.find_last_of(u'\\') + 1) + u"tests\\win32\\probe_command.exe", copy);
    }
    return copy;
  }
  // No quotes: the tool finds the program itself.
  std::u16string probe(const std::u16string& arguments) const { return probeProgram() + u" " + arguments; }
};

TEST_F(Healthy, AHealthyNewVersionIsUpdated) {
  start("v2:health_delay_ms=1500\n");
  const auto run = update(u"--health-url " + url + u" --health-tcp 127.0.0.1:" + toDecimal(port));
  EXPECT_EQ(run.exitStatus, 0u) << run.out;
  EXPECT_THAT(run.out, HasSubstr("Service :: saud\xE1vel (" + toUtf8(url) + ": HTTP 200)"));
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
  EXPECT_EQ(running(), "v2");
}

TEST_F(Healthy, ANewVersionAnswering503IsRolledBack) {
  start("v2:health_status=503\n");
  const auto run = update(u"--health-url " + url + u" --health-timeout 4");
  EXPECT_EQ(run.exitStatus, 11u) << run.out;
  EXPECT_THAT(result(), HasSubstr(": HTTP 503. Vers\xE3o anterior restaurada e em execu\xE7\xE3o."));
  EXPECT_EQ(running(), "v1");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
}

// Never listening: given up at the timeout, and the run lasts about that.
TEST_F(Healthy, ANewVersionThatNeverListensIsRolledBackAtTheTimeout) {
  start("v2:health_status=0\n");
  const auto began = GetTickCount64();
  const auto run = update(u"--health-url " + url + u" --health-timeout 5");
  const auto took = GetTickCount64() - began;
  EXPECT_EQ(run.exitStatus, 11u) << run.out;
  EXPECT_THAT(result(), HasSubstr("n\xE3o passou em 5 s: " + toUtf8(url)));
  EXPECT_GE(took, 5'000u);
  EXPECT_LT(took, 5'000u + 12'000u) << "the stop, the swap, two starts and the rollback, and no more";
}

TEST_F(Healthy, APreviousVersionUnhealthyTooIsSaid) {
  start("health_status=500\n");
  const auto run = update(u"--health-url " + url + u" --health-timeout 3");
  EXPECT_EQ(run.exitStatus, 12u) << run.out;
  EXPECT_THAT(result(), HasSubstr("Vers\xE3o anterior restaurada, mas n\xE3o respondeu \xE0 verifica\xE7\xE3o: "));
  EXPECT_EQ(running(), "v1");
}

TEST_F(Healthy, ACommandThatPassesFailsOrHangs) {
  start("");
  auto run = update(u"--health-command \"" + probe(u"exit 0 tudo certo") + u"\"");
  EXPECT_EQ(run.exitStatus, 0u) << run.out;
  EXPECT_THAT(run.out, HasSubstr("c\xF3" "digo de sa\xED" "da 0, tudo certo)"));

  // Another build each time: the very bytes that run already are not
  // updated again.
  copyFile(testServiceV1(), fresh);
  run = update(u"--health-command \"" + probe(u"exit 3 banco inacessivel") + u"\" --health-timeout 6");
  EXPECT_EQ(run.exitStatus, 12u) << run.out;  // the previous version fails the same command
  EXPECT_THAT(result(), HasSubstr("c\xF3" "digo de sa\xED" "da 3, banco inacessivel"));

  copyFile(testServiceV1(), fresh);
  const auto began = GetTickCount64();
  run = update(u"--health-command \"" + probe(u"hang") + u"\" --health-timeout 3");
  EXPECT_EQ(run.exitStatus, 12u) << run.out;
  EXPECT_THAT(result(), HasSubstr("sem resposta no tempo da tentativa"));
  EXPECT_LT(GetTickCount64() - began, 3'000u * 2 + 15'000u);
}

TEST_F(Healthy, AMalformedOptionTouchesNothing) {
  start("");
  const auto run = update(u"--health-url ftp://127.0.0.1/");
  EXPECT_EQ(run.exitStatus, 2u);
  EXPECT_THAT(run.out, ::testing::StartsWith("Erro: Op\xE7\xE3o inv\xE1lida: --health-url ftp://127.0.0.1/"));
  EXPECT_EQ(readFile(folder / (u"updateServiceQZ-" + name + u".txt")), "<missing>");
  EXPECT_EQ(running(), "v1");
}

// A path with blanks runs that very program, never a planted one named by
// a shorter prefix (C:\...\has.exe for C:\...\has space\check.exe).
TEST_F(Healthy, ACommandWithBlanksRunsTheProgramNamedAndNoPlantedOne) {
  start("");
  const auto spaced = folder / u"has space";
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>(spaced.c_str()), nullptr));
  copyFile(probeProgram(), spaced + u"\\check.exe");
  copyFile(probeProgram(), folder / u"has.exe");  // planted: would exit 64
  writeFile(spaced + u"\\check.cmd", "@echo verificado pelo cmd\r\n@exit /b 0\r\n");
  auto run = update(u"--health-command \"" + spaced + u"\\check.exe exit 3 o verdadeiro\" --health-timeout 10");
  EXPECT_EQ(run.exitStatus, 12u) << run.out;  // the previous version fails the same command
  EXPECT_THAT(result(), HasSubstr("c\xF3" "digo de sa\xED" "da 3, o verdadeiro"));
  copyFile(testServiceV2(), fresh);
  run = update(u"--health-command \"" + spaced + u"\\check.cmd\"");
  EXPECT_EQ(run.exitStatus, 0u) << run.out;
  EXPECT_THAT(run.out, HasSubstr("c\xF3" "digo de sa\xED" "da 0, verificado pelo cmd)"));
  // A name the tool cannot place is refused before anything is touched.
  const auto refused = update(u"--health-command \"has.exe exit 0\"");
  EXPECT_EQ(refused.exitStatus, 2u) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("has.exe n\xE3o \xE9 um programa do sistema"));
  // The elevated run executes it: a script in a folder others may write
  // is refused as well, before anything is touched.
  ASSERT_TRUE(chmodUnixFile(spaced, "o+w"));
  copyFile(testServiceV1(), fresh);
  const auto open = update(u"--health-command \"" + spaced + u"\\check.cmd\"");
  EXPECT_EQ(open.exitStatus, 2u) << open.out;
  EXPECT_THAT(open.out, HasSubstr("Local n\xE3o confi\xE1vel: " + toUtf8(spaced) + "\\ pode ser alterado por "));
  EXPECT_EQ(running(), "v2");
  EXPECT_TRUE(fileExists(fresh));
}

// A command that starts a child and hangs: at the try's deadline the whole
// tree is ended, and nothing of it holds the tool's output open, so whoever
// reads the tool's output reaches its end when the tool ends.
TEST_F(Healthy, ACommandsChildrenEndWithItAndNeverHoldTheToolsOutput) {
  start("");
  const auto pidFile = folder / u"child.pid";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION tool{};
  std::u16string line = u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name +
                        u" --exit-code --health-timeout 3 --health-command \"" + probe(u"spawn " + pidFile) + u"\"";
  const auto began = GetTickCount64();
  ASSERT_TRUE(CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW, nullptr, reinterpret_cast<const wchar_t*>(folder.path().c_str()),
                             &startup, &tool));
  CloseHandle(writeEnd);
  std::string out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  const auto readToTheEnd = GetTickCount64() - began;
  CloseHandle(readEnd);
  WaitForSingleObject(tool.hProcess, 60'000);
  DWORD status = 0;
  GetExitCodeProcess(tool.hProcess, &status);
  CloseHandle(tool.hProcess);
  CloseHandle(tool.hThread);
  EXPECT_EQ(status, 12u) << out;
  EXPECT_THAT(out, HasSubstr("sem resposta no tempo da tentativa"));
  EXPECT_LT(readToTheEnd, 40'000u) << "the hanging child held the tool's output open";
  const auto pid = std::strtoul(readFile(pidFile).c_str(), nullptr, 10);
  ASSERT_NE(pid, 0u);
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (child != nullptr) {
    EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0) << "the child outlived the try";
    CloseHandle(child);
  }
}

// An HTTP endpoint that misbehaves on purpose, on 127.0.0.1: /trickle
// sends its status line a byte every half second, /moved redirects to
// /login (which answers 200), and any path longer than 2,048 characters
// answers 200.
class Misbehaving {
 public:
  Misbehaving() {
    listener_ = boundOnLoopback(port_);
    listen(listener_, 16);
    thread_ = std::thread([this] { serve(); });
  }
  ~Misbehaving() {
    stopping_ = true;
    closesocket(listener_);
    thread_.join();
    for (auto& worker : workers_) worker.join();
    WSACleanup();
  }
  std::u16string url(const std::u16string& path) const {
    return u"http://127.0.0.1:" + toDecimal(port_) + path;
  }

 private:
  void serve() {
    for (;;) {
      const SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      workers_.emplace_back([this, client] { answer(client); });
    }
  }
  void answer(SOCKET client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const int got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    const auto start = request.find(' ') + 1;
    const auto path = request.substr(start, request.find(' ', start) - start);
    const auto send = [client](const std::string& text) {
      return ::send(client, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
    };
    if (path == "/trickle") {
      const std::string line = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
      for (std::size_t i = 0; i < line.size() && !stopping_; ++i) {
        if (!send(line.substr(i, 1))) break;
        Sleep(500);
      }
    } else if (path == "/moved") {
      send("HTTP/1.1 302 Found\r\nLocation: /login\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else if (path == "/login" || path.size() > 2048) {
      send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    } else {
      send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    closesocket(client);
  }

  SOCKET listener_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<std::thread> workers_;
};

// A server that trickles its answer costs a try, not the run: the tool's
// own deadline ends each try, and the whole wait within the timeout and a
// try.
TEST_F(Healthy, AServerThatTricklesItsAnswerIsBounded) {
  start("");
  Misbehaving server;
  const auto began = GetTickCount64();
  const auto run = update(u"--health-url " + server.url(u"/trickle") + u" --health-timeout 4");
  const auto took = GetTickCount64() - began;
  EXPECT_EQ(run.exitStatus, 12u) << run.out;  // the previous version is held to the same check
  EXPECT_THAT(result(), HasSubstr("/trickle: sem resposta no tempo da tentativa"));
  // Two health waits of 4 s (and at most one try past it), the stop, the
  // swap and two starts.
  EXPECT_LT(took, 2 * (4'000u + 5'000u) + 15'000u);
}

// A redirect is not healthy, even to a page that answers 200; the reason
// names the status and where it led.
TEST_F(Healthy, ARedirectIsNotHealthy) {
  start("");
  Misbehaving server;
  const auto run = update(u"--health-url " + server.url(u"/moved") + u" --health-timeout 2");
  EXPECT_EQ(run.exitStatus, 12u) << run.out;
  EXPECT_THAT(result(), HasSubstr("/moved: HTTP 302, redirecionado para /login, n\xE3o seguido"));
}

// URLs of any length the server takes.
TEST_F(Healthy, ALongUrlIsSent) {
  start("");
  Misbehaving server;
  const auto run = update(u"--health-url " + server.url(u"/long/" + std::u16string(3'000, u'x')));
  EXPECT_EQ(run.exitStatus, 0u) << run.out;
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
}

}  // namespace
}  // namespace usqz::testing

// Healthy or rolled back, for real: the tool's health checks against the
// test service's own endpoint on 127.0.0.1 and a test command, under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/win32/windows_api.h"
// After windows.h (kept lean), which it needs.
#include <winsock2.h>

#include "platform/text.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;

// A port nobody listens on now.
std::uint16_t freePort() {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  WSACleanup();
  return ntohs(address.sin_port);
}

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
  std::u16string probe(const std::u16string& arguments) const {
    const auto tool = builtTool();
    return u"\"" + tool.substr(0, tool.find_last_of(u'\\') + 1) + u"tests\\win32\\probe_command.exe\" " + arguments;
  }
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
  run = update(u"--health-command \"" + probe(u"exit 3 banco inacessivel") + u"\" --health-timeout 2");
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

}  // namespace
}  // namespace usqz::testing

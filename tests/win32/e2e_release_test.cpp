// Releases for real: three test services beside the tool, the second
// depending on the first, updated, checked, rolled back and killed as one
// against the platform's service manager. One folder and one set of
// services carry the whole story, to keep Wine's time down; the order and
// the combinatorics are the doubles'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "e2e_update.h"
#include "platform/text.h"

namespace usqz::testing {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;

// A text as a JSON string, quotes included: Windows paths are full of
// backslashes.
std::string jsonText(const std::u16string& text) {
  std::string quoted = "\"";
  for (const char c : toUtf8(text)) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

struct Release : ::testing::Test {
  ScratchDirectory folder;
  ServiceNames names;  // declared after the folder: removed before it
  std::vector<std::u16string> services = {names.make(u"QZRA"), names.make(u"QZRB"), names.make(u"QZRC")};
  std::string v1 = readFile(testServiceV1());
  std::string v2 = readFile(testServiceV2());
  std::u16string releaseFile = folder / u"release.json";

  std::u16string path(std::size_t i, const char16_t* extension) const {
    return folder / (u"qz_" + services[i].substr(2) + extension);
  }
  std::string version(const std::u16string& file) const {
    if (!fileExists(file)) return "none";
    const auto bytes = readFile(file);
    return bytes == v1 ? "v1" : bytes == v2 ? "v2" : "other";
  }
  // Each service's executable's version, and whether it runs.
  std::string state() const {
    std::string all;
    for (std::size_t i = 0; i < services.size(); ++i) {
      all += version(path(i, u".exe")) +
             (queryServiceState(services[i]) == static_cast<std::uint32_t>(SERVICE_RUNNING) ? "+" : "-") + " ";
    }
    return all;
  }
  // Whether each service runs, whatever its version.
  std::string up() const {
    std::string all;
    for (const auto& service : services) {
      all += queryServiceState(service) == static_cast<std::uint32_t>(SERVICE_RUNNING) ? "+" : "-";
    }
    return all;
  }
  std::string result(std::size_t i) const { return readFile(folder / (u"updateServiceQZ-" + services[i] + u".txt")); }
  // When service i's executable logged `event` ("v2 started"), by the
  // machine's tick; 0 when it never did.
  double tickOf(std::size_t i, const std::string& event) const {
    std::istringstream log(readFile(folder / (u"events-qz_" + services[i].substr(2) + u".exe.log")));
    std::string line;
    while (std::getline(log, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto space = line.find(' ');
      if (space != std::string::npos && line.substr(space + 1) == event) return std::strtod(line.c_str(), nullptr);
    }
    return 0;
  }
  // The release file, the dependent listed first; extra[i] is what
  // follows service i's name in its entry.
  void listRelease(const std::vector<std::string>& extra) {
    std::string json = "{\"services\": [";
    for (std::size_t k = 0; k < listed.size(); ++k) {
      json += std::string(k ? ", " : "") + "{\"name\": \"" + toUtf8(services[listed[k]]) + "\"" + extra[listed[k]] + "}";
    }
    writeFile(releaseFile, json + "]}");
  }
  const std::vector<std::size_t> listed = {1, 0, 2};
  void stage() {
    for (std::size_t i = 0; i < services.size(); ++i) copyFile(testServiceV2(), path(i, u".new"));
  }
  ProcessResult release(const std::u16string& options = {}, std::uint32_t killAfterMs = 0) {
    const auto command = u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --release release.json --exit-code" + options;
    if (killAfterMs != 0) return runProcess(command, folder.path(), Stdout::File, killAfterMs, true);
    return runProcess(command, folder.path());
  }

  void SetUp() override {
    copyFile(builtTool(), folder / u"UpdateServiceQZ.exe");
    listRelease({"", "", ""});
    writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
    for (std::size_t i = 0; i < services.size(); ++i) {
      copyFile(testServiceV1(), path(i, u".exe"));
      installService(services[i], path(i, u".exe"), true, i == 1 ? services[0] : std::u16string());
    }
    stage();
  }
};

TEST_F(Release, IsCheckedUpdatedRolledBackAndRefusedAsOne) {
  // A file that is not one: refused with the options, nothing touched.
  writeFile(folder / u"bad.json", "{\"services\": [");
  const auto bad = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --release bad.json --exit-code",
                              folder.path());
  EXPECT_EQ(bad.exitStatus, 2u) << bad.out;
  EXPECT_THAT(bad.out, HasSubstr("--release bad.json: n\xE3o \xE9 um JSON v\xE1lido"));

  const auto check = release(u" --check");
  EXPECT_EQ(check.exitStatus, 0u) << check.out;
  EXPECT_THAT(check.out, HasSubstr("iniciaria nesta ordem: " + toUtf8(services[0]) + ", " + toUtf8(services[1]) +
                                   ", " + toUtf8(services[2])));
  EXPECT_EQ(state(), "v1+ v1+ v1+ ");

  const auto updated = release();
  EXPECT_EQ(updated.exitStatus, 0u) << updated.out;
  EXPECT_EQ(state(), "v2+ v2+ v2+ ") << updated.out;
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(result(i), kSuccess);
    EXPECT_EQ(version(path(i, u".old")), "v1");
    EXPECT_FALSE(fileExists(path(i, u".journal")));
  }

  const auto back = release(u" --rollback");
  EXPECT_EQ(back.exitStatus, 0u) << back.out;
  EXPECT_EQ(state(), "v1+ v1+ v1+ ") << back.out;

  // One new version that is no executable: the release is refused before
  // any service stops.
  stage();
  writeFile(path(2, u".new"), "not an executable");
  const auto refused = release();
  EXPECT_EQ(refused.exitStatus, 10u) << refused.out;
  EXPECT_EQ(state(), "v1+ v1+ v1+ ");
  EXPECT_THAT(result(0), HasSubstr("a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o " + toUtf8(services[2])));
  EXPECT_EQ(version(path(0, u".new")), "v2");

  // The second to start dies at once: all three back on v1, running.
  stage();
  writeFile(folder / u"test_service.cfg", "stop_ms=100\nqz_" + toUtf8(services[1].substr(2)) + ".exe:v2:die_after_ms=200\n");
  const auto failed = release();
  EXPECT_EQ(failed.exitStatus, 11u) << failed.out;
  EXPECT_EQ(state(), "v1+ v1+ v1+ ") << failed.out;
  EXPECT_THAT(result(0), HasSubstr("a atualiza\xE7\xE3o conjunta falhou no servi\xE7o " + toUtf8(services[1])));
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(version(path(i, u".new")), "v2");
    EXPECT_FALSE(fileExists(path(i, u".journal")));
  }
}

// Ended from outside while its last new version starts, the release is
// recovered as a whole by the same release run again, which then ends
// with all three updated.
TEST_F(Release, KilledHalfwayThenRunAgainEndsUpdated) {
  writeFile(folder / u"test_service.cfg",
            "stop_ms=100\nqz_" + toUtf8(services[2].substr(2)) + ".exe:v2:start_pending_ms=6000\n");
  const auto killed = release({}, 3000);
  ASSERT_TRUE(fileExists(path(0, u".journal")) || fileExists(path(2, u".journal"))) << killed.out;
  writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
  stage();
  const auto again = release();
  EXPECT_EQ(again.exitStatus, 0u) << again.out;
  EXPECT_THAT(again.out, HasSubstr("Atualiza\xE7\xE3o conjunta anterior interrompida"));
  EXPECT_EQ(state(), "v2+ v2+ v2+ ") << again.out;
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_FALSE(fileExists(path(i, u".journal")));
    EXPECT_FALSE(fileExists(path(i, u".new")));
  }
}

// A service confirmed early is looked at once more when the last one is:
// the dependency passes its watch and dies while its dependent is still
// starting, and the release is put back whole. Then the same services on
// a release whose file gives the dependency a health command, a script
// that passes: updated.
TEST_F(Release, ADependencyDyingWhileItsDependentStartsIsPutBackAndAPassingHealthCommandUpdates) {
  const auto dependency = "qz_" + toUtf8(services[0].substr(2)) + ".exe";
  const auto dependent = "qz_" + toUtf8(services[1].substr(2)) + ".exe";
  // Past its watch of 1.5 s it dies, reporting it (Wine's manager notices
  // no other end), while its dependent is a long way from running.
  writeFile(folder / u"test_service.cfg", "stop_ms=100\n" + dependency + ":v2:die_after_ms=2500\n" + dependent +
                                              ":v2:start_pending_ms=4000\n");
  const auto failed = release();
  EXPECT_EQ(failed.exitStatus, 11u) << failed.out;
  EXPECT_EQ(state(), "v1+ v1+ v1+ ") << failed.out;
  const auto died = tickOf(0, "v2 died");
  ASSERT_NE(died, 0) << failed.out;
  EXPECT_GE(died - tickOf(0, "v2 started"), 1'500) << "it died within its own watch";
  EXPECT_LT(died, tickOf(1, "v2 started")) << "the dependency died before its dependent ran";
  // Its own result says it stopped and was put back; the others' name it
  // and say the same.
  const std::string error = "Erro: ";
  const std::string putBack = ". Vers\xE3o anterior restaurada e em execu\xE7\xE3o.\r\n";
  const auto why = result(0);
  EXPECT_THAT(why, ::testing::StartsWith(error + "O servi\xE7o parou "));
  EXPECT_THAT(why, ::testing::EndsWith(putBack));
  for (const std::size_t i : {1u, 2u}) {
    EXPECT_EQ(result(i), error + "a atualiza\xE7\xE3o conjunta falhou no servi\xE7o " + toUtf8(services[0]) + ": " +
                             why.substr(std::min(why.size(), error.size())));
  }
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(version(path(i, u".new")), "v2");
    EXPECT_FALSE(fileExists(path(i, u".journal")));
  }

  // The health command lies where only administrators may write, beside
  // the tool, as the elevated run requires of whatever it executes.
  const auto check = folder / u"ok.cmd";
  writeFile(check, "@echo verificado pelo cmd\r\n@exit /b 0\r\n");
  writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
  listRelease({", \"healthCommand\": [" + jsonText(check) + "]", "", ""});
  const auto healthy = release();
  EXPECT_EQ(healthy.exitStatus, 0u) << healthy.out;
  EXPECT_EQ(state(), "v2+ v2+ v2+ ") << healthy.out;
  // Checked once, as the service the file gives it to, once it runs.
  const auto command = "comando " + toUtf8(check);
  EXPECT_THAT(healthy.out, HasSubstr(lines({"[" + toUtf8(services[0]) + "]", "Service :: status: iniciado",
                                            "Service :: verificando sa\xFA" "de: " + command + " ...",
                                            "Service :: saud\xE1vel (" + command +
                                                ": c\xF3" "digo de sa\xED" "da 0, verificado pelo cmd)"})));
  EXPECT_EQ(healthy.out.find("verificando"), healthy.out.rfind("verificando")) << healthy.out;
  for (std::size_t i = 0; i < services.size(); ++i) {
    EXPECT_EQ(result(i), kSuccess);
    EXPECT_EQ(version(path(i, u".old")), "v1");
    EXPECT_FALSE(fileExists(path(i, u".journal")));
    EXPECT_FALSE(fileExists(path(i, u".new")));
  }
}

// Killed while its dependent starts, every service ends up running the new
// version, and the journals say the release did not stand. Then another
// build is staged for the dependency, one the journals never saw: the
// next run of the release may refuse to go on, but leaves no service down
// for having tried.
TEST_F(Release, DeadReleaseRunAgainWithAnotherBuildStagedLeavesEveryServiceRunning) {
  const auto dependent = "qz_" + toUtf8(services[1].substr(2)) + ".exe";
  writeFile(folder / u"test_service.cfg", "stop_ms=100\n" + dependent + ":v2:start_pending_ms=6000\n");
  const auto killed = release({}, 3000);
  // The dependent goes on starting without the tool.
  for (int pass = 0; pass < 200 && up() != "+++"; ++pass) Sleep(50);
  ASSERT_EQ(state(), "v2+ v2+ v2+ ") << "killed before the dependent's start\n" << killed.out;
  for (std::size_t i = 0; i < services.size(); ++i) ASSERT_TRUE(fileExists(path(i, u".journal"))) << killed.out;

  writeFile(folder / u"test_service.cfg", "stop_ms=100\n");
  copyFile(testServiceV1(), path(0, u".new"));
  const auto again = release();
  EXPECT_THAT(again.exitStatus, AnyOf(10u, 12u)) << again.out;
  EXPECT_EQ(up(), "+++") << state() << "\n" << again.out;
}

}  // namespace
}  // namespace usqz::testing

// Releases for real: three test services beside the tool, the second
// depending on the first, updated, checked, rolled back and killed as one
// against the platform's service manager. One folder and one set of
// services carry the whole story, to keep Wine's time down; the order and
// the combinatorics are the doubles'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_update.h"
#include "platform/text.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;

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
  std::string result(std::size_t i) const { return readFile(folder / (u"updateServiceQZ-" + services[i] + u".txt")); }
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
    writeFile(releaseFile, "{\"services\": [{\"name\": \"" + toUtf8(services[1]) + "\"}, {\"name\": \"" +
                               toUtf8(services[0]) + "\"}, {\"name\": \"" + toUtf8(services[2]) + "\"}]}");
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

}  // namespace
}  // namespace usqz::testing

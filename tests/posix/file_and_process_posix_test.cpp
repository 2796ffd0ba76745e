// The POSIX file operations against a real temporary directory.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/native.h"
#include "platform/text.h"

namespace usqz::platform {
namespace {

namespace fs = std::filesystem;

struct PosixFiles : ::testing::Test {
  fs::path dir;
  std::unique_ptr<FileAndProcess> os = makeNativeFileAndProcess(0, nullptr);

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "usqz-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::u16string at(const std::string& name) const { return fromUtf8((dir / name).string()); }
  void put(const std::string& name, const std::string& bytes) const { std::ofstream(dir / name) << bytes; }
  std::string read(const std::string& name) const {
    std::ifstream in(dir / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(PosixFiles, ExistenceTestCountsFilesAndLinksToFilesButNoDirectories) {
  put("a.exe", "x");
  fs::create_directory(dir / "d.exe");
  fs::create_symlink(dir / "a.exe", dir / "link.exe");
  fs::create_symlink(dir / "d.exe", dir / "dirlink.exe");
  fs::create_symlink(dir / "gone", dir / "dangling.exe");
  EXPECT_TRUE(os->fileExists(at("a.exe")));
  EXPECT_TRUE(os->fileExists(at("link.exe")));
  EXPECT_FALSE(os->fileExists(at("d.exe")));
  EXPECT_FALSE(os->fileExists(at("dirlink.exe")));
  EXPECT_FALSE(os->fileExists(at("dangling.exe")));
  EXPECT_FALSE(os->fileExists(at("missing.exe")));
  EXPECT_FALSE(os->fileExists(at("missing/deeper.exe")));
  EXPECT_FALSE(os->fileExists(at("a.exe/under-a-file")));
}

TEST_F(PosixFiles, MoveNeverReplacesItsTarget) {
  put("new", "N");
  put("exe", "E");
  EXPECT_EQ(os->moveNoReplace(at("new"), at("exe")), kErrorAlreadyExists);
  EXPECT_EQ(read("new"), "N");
  EXPECT_EQ(read("exe"), "E");
  EXPECT_EQ(os->moveNoReplace(at("new"), at("old")), kOk);
  EXPECT_EQ(read("old"), "N");
  EXPECT_FALSE(fs::exists(dir / "new"));
  EXPECT_EQ(os->moveNoReplace(at("new"), at("other")), kErrorFileNotFound);
}

TEST_F(PosixFiles, CreateNewNeverOpensWhatIsThereAndErrorsAreMappedOntoWindowsCodes) {
  put("old.txt", "a much longer old content");
  EXPECT_EQ(os->createNewFile(at("old.txt")).error, kErrorFileExists);
  EXPECT_EQ(read("old.txt"), "a much longer old content");
  fs::create_symlink(dir / "missing-target", dir / "dangling");
  EXPECT_EQ(os->createNewFile(at("dangling")).error, kErrorFileExists);
  EXPECT_FALSE(fs::exists(dir / "missing-target"));
  const auto created = os->createNewFile(at("r.txt"));
  ASSERT_EQ(created.error, kOk);
  EXPECT_EQ(os->writeBytes(created.handle, "new\r\n"), kOk);
  EXPECT_EQ(os->closeFile(created.handle), kOk);
  EXPECT_EQ(read("r.txt"), "new\r\n");

  EXPECT_EQ(os->createNewFile(at("missing/r.txt")).error, kErrorFileNotFound);
  EXPECT_EQ(os->removeFile(at("missing.txt")), kErrorFileNotFound);
  fs::create_directory(dir / "sub");
  EXPECT_EQ(os->createNewFile(at("sub")).error, kErrorFileExists);
  EXPECT_EQ(os->removeFile(at("r.txt")), kOk);
  EXPECT_FALSE(fs::exists(dir / "r.txt"));
}

TEST_F(PosixFiles, UnicodeNamesAreUtf8OnDisk) {
  const auto created = os->createNewFile(at("servi\xC3\xA7o.txt"));
  ASSERT_EQ(created.error, kOk);
  os->closeFile(created.handle);
  EXPECT_TRUE(fs::exists(dir / "servi\xC3\xA7o.txt"));
  EXPECT_EQ(os->toNarrow(u"ção", CodePage::Ansi), "\xC3\xA7\xC3\xA3o");
}

// Who may write, links never followed; a private file is always a new one;
// a folder's every spelling resolves to one path.
TEST_F(PosixFiles, WhoMayWritePrivateFilesAndFinalPaths) {
  const auto security = makeNativeFileSecurity();
  put("a.new", "x");
  ::chmod((dir / "a.new").c_str(), 0644);
  auto facts = security->inspect(at("a.new"));
  EXPECT_EQ(facts.kind, FileKind::File);
  EXPECT_EQ(facts.links, 1u);
  EXPECT_TRUE(facts.trusted());
  ::chmod((dir / "a.new").c_str(), 0646);
  facts = security->inspect(at("a.new"));
  EXPECT_EQ(facts.foreignWriters, std::vector<std::u16string>{u"Everyone"});
  fs::create_hard_link(dir / "a.new", dir / "b.new");
  EXPECT_EQ(security->inspect(at("a.new")).links, 2u);
  fs::create_symlink(dir / "a.new", dir / "c.new");
  EXPECT_EQ(security->inspect(at("c.new")).kind, FileKind::Link);
  EXPECT_EQ(security->inspect(at("missing")).error, kErrorFileNotFound);

  EXPECT_EQ(os->createPrivateFile(at("c.new")).error, kErrorFileExists);
  EXPECT_EQ(os->createPrivateFile(at("b.new")).error, kErrorFileExists);
  EXPECT_EQ(read("a.new"), "x");
  const auto created = os->createPrivateFile(at("j.tmp"));
  ASSERT_EQ(created.error, kOk);
  EXPECT_EQ(os->closeFile(created.handle), kOk);
  EXPECT_EQ(fs::status(dir / "j.tmp").permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fs::create_directory_symlink(dir, dir / "alias");
  EXPECT_EQ(os->finalPath(at("alias/a.new")), os->finalPath(at("a.new")));
  EXPECT_EQ(os->finalPath(at("alias/none.exe")), os->finalPath(at("none.exe")));
  EXPECT_EQ(os->probeMovable(at("a.new")), kOk);
  EXPECT_EQ(os->probeMovable(at("none.exe")), kErrorFileNotFound);
}

TEST(PosixProcess, ArgumentsArriveSplitAndTheOwnPathIsAbsolute) {
  char program[] = "tool";
  char option[] = "--service-name";
  char value[] = "QZ \xC3\xA7";
  char* argv[] = {program, option, value};
  const auto os = makeNativeFileAndProcess(3, argv);
  const auto line = os->commandLine();
  EXPECT_TRUE(line.isSplit);
  ASSERT_EQ(line.arguments.size(), 3u);
  EXPECT_EQ(line.arguments[2], u"QZ ç");
  const auto path = os->ownExecutablePath();
  ASSERT_TRUE(path);
  EXPECT_EQ(path->front(), u'/');
  const auto clock = makeNativeClock();
  const auto before = clock->monotonicMilliseconds();
  clock->pause(1);
  EXPECT_GE(clock->monotonicMilliseconds(), before);
  EXPECT_GT(clock->wallClockSeconds(), 1'700'000'000);
}

// A replaced file keeps no trace of what it replaced, and a file keeps its
// identity across a rename.
TEST_F(PosixFiles, ReplaceTakesTheSourcesIdentityAndContents) {
  const auto a = at("a"), b = at("b");
  put("a", "new");
  put("b", "old");
  const auto before = os->fileIdentity(a);
  ASSERT_EQ(before.error, kOk);
  ASSERT_EQ(os->replaceFile(a, b), kOk);
  EXPECT_FALSE(os->fileExists(a));
  EXPECT_EQ(os->fileIdentity(b).identity, before.identity);
  EXPECT_EQ(os->fileIdentity(a).error, kErrorFileNotFound);
  EXPECT_EQ(read("b"), "new");
}

// A process is known by its handle: once it has exited, waiting on the
// handle says so at once, and ending it again is no error.
TEST(PosixProcesses, AChildIsWaitedOnAndEndedByHandle) {
  const auto processes = makeNativeProcesses();
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const auto opened = processes->openProcess(static_cast<std::uint32_t>(child));
  ASSERT_EQ(opened.error, kOk);
  EXPECT_EQ(processes->waitForExit(opened.handle, 0).state, ProcessState::Running);
  EXPECT_EQ(processes->terminate(opened.handle), kOk);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(processes->waitForExit(opened.handle, 1000).state, ProcessState::Exited);
  processes->closeProcess(opened.handle);
  EXPECT_TRUE(processes->openProcess(static_cast<std::uint32_t>(child)).gone);
}

TEST(PosixLocks, HeldByOneHolderItIsHeldElsewhereForAnother) {
  const auto locks = makeNativeLocks();
  const std::u16string name = u"Global\\UpdateServiceQZ-posix-test-" + fromUtf8(std::to_string(::getpid()));
  const auto first = locks->tryLock(name);
  ASSERT_TRUE(first.handle);
  const auto second = locks->tryLock(name);
  EXPECT_TRUE(second.heldElsewhere);
  locks->releaseLock(first.handle);
  const auto third = locks->tryLock(name);
  EXPECT_TRUE(third.handle);
  locks->releaseLock(third.handle);
}

}  // namespace
}  // namespace usqz::platform

// The Win32 file and process operations against the real (Wine) platform.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "checks/image_check.h"
#include "platform/native.h"
#include "platform/win32/unique_handles.h"
#include "platform/win32/windows_api.h"
#include "support/tool_process.h"
#include "platform/text.h"
#include "win32_test_environment.h"

namespace usqz::platform {
namespace {

using testing::readFile;
using testing::ScratchDirectory;
using testing::writeFile;
using win32::nullIfInvalid;
using win32::UniqueKernelHandle;

// A symbolic link where the system makes one.
bool symbolicLink(const std::u16string& link, const std::u16string& target, DWORD flags) {
  const auto* name = reinterpret_cast<const wchar_t*>(link.c_str());
  if (!CreateSymbolicLinkW(name, reinterpret_cast<const wchar_t*>(target.c_str()), flags)) return false;
  const DWORD attributes = GetFileAttributesW(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

struct Win32Files : ::testing::Test {
  ScratchDirectory dir;
  std::unique_ptr<FileAndProcess> os = makeNativeFileAndProcess(0, nullptr);

  UniqueKernelHandle openWith(const std::u16string& path, DWORD access, DWORD share) {
    return UniqueKernelHandle(nullIfInvalid(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), access, share,
                                                        nullptr, OPEN_EXISTING, 0, nullptr)));
  }
};

TEST_F(Win32Files, ExistenceTestCountsFilesOnly) {
  writeFile(dir / u"a.exe", "x");
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>((dir / u"d.exe").c_str()), nullptr));
  EXPECT_TRUE(os->fileExists(dir / u"a.exe"));
  EXPECT_FALSE(os->fileExists(dir / u"d.exe"));
  EXPECT_FALSE(os->fileExists(dir / u"missing.exe"));
  EXPECT_FALSE(os->fileExists(dir / u"missing\\deeper.exe"));
  EXPECT_FALSE(os->fileExists(dir / u"bad<name>.exe"));
  EXPECT_FALSE(os->fileExists(u""));
}

TEST_F(Win32Files, AFileHeldOpenWithoutSharingStillExists) {
  writeFile(dir / u"held.exe", "x");
  const auto held = openWith(dir / u"held.exe", GENERIC_READ, 0);
  ASSERT_TRUE(held);
  EXPECT_TRUE(os->fileExists(dir / u"held.exe"));
  EXPECT_EQ(os->moveNoReplace(dir / u"held.exe", dir / u"held.old"), kErrorSharingViolation);
}

TEST_F(Win32Files, MoveNeverReplacesItsTarget) {
  writeFile(dir / u"a.new", "N");
  writeFile(dir / u"a.exe", "E");
  EXPECT_EQ(os->moveNoReplace(dir / u"a.new", dir / u"a.exe"), kErrorAlreadyExists);
  EXPECT_EQ(readFile(dir / u"a.new"), "N");
  EXPECT_EQ(readFile(dir / u"a.exe"), "E");
  EXPECT_EQ(os->moveNoReplace(dir / u"a.exe", dir / u"a.old"), kOk);
  EXPECT_EQ(os->moveNoReplace(dir / u"a.new", dir / u"a.exe"), kOk);
  EXPECT_EQ(readFile(dir / u"a.exe"), "N");
  EXPECT_EQ(readFile(dir / u"a.old"), "E");
  EXPECT_EQ(os->moveNoReplace(dir / u"a.new", dir / u"b"), kErrorFileNotFound);
}

// A new file is a new one: nothing at its name is opened or written
// through; others may only read it while it is open.
TEST_F(Win32Files, ANewFileNeverOpensWhatIsThereAndOthersMayOnlyRead) {
  writeFile(dir / u"old.txt", "a much longer old content");
  EXPECT_EQ(os->createNewFile(dir / u"old.txt").error, kErrorFileExists);
  EXPECT_EQ(readFile(dir / u"old.txt"), "a much longer old content");
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>((dir / u"sub").c_str()), nullptr));
  EXPECT_NE(os->createNewFile(dir / u"sub").error, kOk);
  const auto created = os->createNewFile(dir / u"r.txt");
  ASSERT_EQ(created.error, kOk);
  EXPECT_TRUE(openWith(dir / u"r.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_FALSE(openWith(dir / u"r.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_EQ(os->writeBytes(created.handle, "new\r\n"), kOk);
  EXPECT_EQ(os->closeFile(created.handle), kOk);
  EXPECT_EQ(readFile(dir / u"r.txt"), "new\r\n");
}

TEST_F(Win32Files, FailuresCarryTheSystemsCodes) {
  EXPECT_EQ(os->createNewFile(dir / u"missing\\r.txt").error, kErrorPathNotFound);
  EXPECT_EQ(os->removeFile(dir / u"missing.txt"), kErrorFileNotFound);
  writeFile(dir / u"held.txt", "x");
  const auto held = openWith(dir / u"held.txt", GENERIC_READ, 0);
  EXPECT_EQ(os->removeFile(dir / u"held.txt"), kErrorSharingViolation);
}

TEST(Win32CodePages, AnsiIsWindows1252AndOemIs437) {
  const auto os = makeNativeFileAndProcess(0, nullptr);
  ASSERT_EQ(GetACP(), 1252u) << "the tests expect a Western code page";
  EXPECT_EQ(os->toNarrow(u"Não foi encontrada a nova versão do serviço.", CodePage::Ansi),
            "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.");
  // Code page 437 has 'ç' but not 'ã', which takes its best fit.
  ASSERT_EQ(GetOEMCP(), 437u);
  EXPECT_EQ(os->toNarrow(u"ção", CodePage::Oem), "\x87" "ao");
  // No default character of the tool's own: the code page's best fit.
  EXPECT_EQ(os->toNarrow(u"\u0141", CodePage::Ansi), "L");
  EXPECT_EQ(os->toNarrow(u"", CodePage::Ansi), "");
}

// The check a new version passes before anything stops, on the project's own
// builds and on damaged copies of them.
TEST_F(Win32Files, TheTestServiceBuildsAreCompleteImagesAndTheirDamagedCopiesAreNot) {
  for (const auto& program : {usqz::testing::testServiceV1(), usqz::testing::builtTool()}) {
    const auto head = os->readFileHead(program, kImageHeadBytes);
    ASSERT_EQ(head.error, kOk);
    EXPECT_EQ(imageDefect(head.bytes, head.size), std::nullopt);
    const std::string whole = readFile(program);
    // The tool is stripped: its last section ends the file. The test service
    // keeps its symbols, whose string table no header measures.
    const std::size_t lastByte = program == usqz::testing::builtTool() ? whole.size() - 1 : whole.size() / 2;
    for (const std::size_t cut : {std::size_t{0}, std::size_t{100}, std::size_t{1000}, lastByte}) {
      writeFile(dir / u"cut.new", whole.substr(0, cut));
      const auto damaged = os->readFileHead(dir / u"cut.new", kImageHeadBytes);
      ASSERT_EQ(damaged.error, kOk);
      EXPECT_NE(imageDefect(damaged.bytes, damaged.size), std::nullopt) << cut;
    }
  }
}

TEST_F(Win32Files, AFileOpenForWritingCannotBeReadForTheCheck) {
  writeFile(dir / u"copying.new", "MZ");
  {
    const auto writer = openWith(dir / u"copying.new", GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_TRUE(writer);
    EXPECT_EQ(os->readFileHead(dir / u"copying.new", 64).error, kErrorSharingViolation);
  }
  const auto head = os->readFileHead(dir / u"copying.new", 64);
  EXPECT_EQ(head.error, kOk);
  EXPECT_EQ(head.bytes, "MZ");
  EXPECT_EQ(head.size, 2u);
}

TEST_F(Win32Files, ProbingADeletionTouchesNothing) {
  writeFile(dir / u"a.old", "x");
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>((dir / u"d.old").c_str()), nullptr));
  EXPECT_EQ(os->probeDeletable(dir / u"a.old"), kOk);
  EXPECT_EQ(os->probeDeletable(dir / u"d.old"), kErrorDirectory);
  EXPECT_EQ(os->probeDeletable(dir / u"missing.old"), kErrorFileNotFound);
  {
    const auto held = openWith(dir / u"a.old", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(os->probeDeletable(dir / u"a.old"), kErrorSharingViolation);
  }
  EXPECT_EQ(readFile(dir / u"a.old"), "x");
}

TEST_F(Win32Files, NamesOfOneFileCompareEqual) {
  writeFile(dir / u"Qz_Agent.exe", "x");
  const auto wanted = os->comparablePath(dir / u"Qz_Agent.exe");
  EXPECT_EQ(os->comparablePath(dir / u"QZ_AGENT.EXE"), wanted);
  EXPECT_EQ(os->comparablePath(dir / u"sub\\..\\qz_agent.exe"), wanted);
  EXPECT_NE(os->comparablePath(dir / u"qz_Other.exe"), wanted);
  SetEnvironmentVariableW(L"USQZ_TEST_DIR", reinterpret_cast<const wchar_t*>(dir.path().c_str()));
  EXPECT_EQ(os->expandEnvironment(u"%USQZ_TEST_DIR%Qz_Agent.exe -x"), dir / u"Qz_Agent.exe -x");
  EXPECT_EQ(os->expandEnvironment(u"%USQZ_NOT_SET%"), u"%USQZ_NOT_SET%");
}

TEST(Win32Lock, HeldByOneThreadItIsHeldElsewhereForAnother) {
  const auto locks = makeNativeLocks();
  const std::u16string name = u"Global\\UpdateServiceQZ-test-" + toDecimal(GetCurrentProcessId());
  const auto first = locks->tryLock(name);
  ASSERT_TRUE(first.handle) << first.error;
  EXPECT_FALSE(first.abandoned);
  LockResult fromAnotherThread;
  std::thread([&] { fromAnotherThread = locks->tryLock(name); }).join();
  EXPECT_TRUE(fromAnotherThread.heldElsewhere);
  EXPECT_FALSE(fromAnotherThread.handle);
  locks->releaseLock(first.handle);
  std::thread([&] {
    fromAnotherThread = locks->tryLock(name);
    locks->releaseLock(fromAnotherThread.handle);
  }).join();
  EXPECT_TRUE(fromAnotherThread.handle);
}

// A holder that ends without letting go leaves the lock abandoned: the next
// holder learns that a run died.
TEST(Win32Lock, AHolderThatDiesLeavesItAbandoned) {
  const auto locks = makeNativeLocks();
  const std::u16string name = u"Global\\UpdateServiceQZ-abandoned-" + toDecimal(GetCurrentProcessId());
  LockResult dying;
  std::thread([&] { dying = locks->tryLock(name); }).join();  // the thread ends holding it
  ASSERT_TRUE(dying.handle);
  const auto next = locks->tryLock(name);
  EXPECT_TRUE(next.handle);
  EXPECT_TRUE(next.abandoned);
  locks->releaseLock(next.handle);
  CloseHandle(reinterpret_cast<HANDLE>(dying.handle.value()));
}

// Only Administrators and SYSTEM may open the lock: its DACL holds their two
// entries and nothing else.
TEST(Win32Lock, OnlyAdministratorsAndSystemMayOpenIt) {
  const auto locks = makeNativeLocks();
  const std::u16string name = u"Global\\UpdateServiceQZ-dacl-" + toDecimal(GetCurrentProcessId());
  const auto held = locks->tryLock(name);
  ASSERT_TRUE(held.handle);
  DWORD needed = 0;
  const auto mutex = reinterpret_cast<HANDLE>(held.handle.value());
  GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  ASSERT_TRUE(GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);
  EXPECT_EQ(dacl->AceCount, 2u);
  locks->releaseLock(held.handle);
}

// A process is waited on and ended through the handle opened for it.
TEST(Win32Processes, AProcessIsWaitedOnAndEndedByHandle) {
  const auto processes = makeNativeProcesses();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  std::wstring line = L"\"" + std::wstring(reinterpret_cast<const wchar_t*>(testing::builtTool().c_str())) + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &child));
  const UniqueKernelHandle thread(child.hThread);
  const UniqueKernelHandle ours(child.hProcess);
  const auto opened = processes->openProcess(child.dwProcessId);
  ASSERT_EQ(opened.error, kOk);
  EXPECT_EQ(processes->waitForExit(opened.handle, 0).state, ProcessState::Running);
  // Its creation, read through the handle's own rights, tells it from
  // another process, read twice the same.
  const auto created = processes->creationTime(opened.handle);
  EXPECT_NE(created, 0u);
  EXPECT_EQ(processes->creationTime(opened.handle), created);
  const auto again = processes->openProcess(child.dwProcessId);
  ASSERT_EQ(again.error, kOk);
  EXPECT_EQ(processes->creationTime(again.handle), created);
  processes->closeProcess(again.handle);
  EXPECT_EQ(processes->terminate(opened.handle), kOk);
  EXPECT_EQ(processes->waitForExit(opened.handle, 0).state, ProcessState::Exited);
  processes->closeProcess(opened.handle);
  EXPECT_NE(processes->currentProcessId(), 0u);
}

// The machine's start, as the wall clock less the time since: before now,
// and the same from one reading to the next within a second or two.
TEST(Win32Clock, TheBootTimeHoldsStill) {
  const auto clock = makeNativeClock();
  const auto booted = clock->bootedAtSeconds();
  EXPECT_LT(booted, clock->wallClockSeconds());
  EXPECT_GT(booted, 1'600'000'000);
  clock->pause(1'100);
  EXPECT_LE(std::abs(clock->bootedAtSeconds() - booted), 2);
}

// A file keeps its identity across a rename; another file has another one;
// a replaced file takes the place and the identity of what replaced it.
TEST_F(Win32Files, IdentitiesSurviveRenamesAndReplaceIsOneStep) {
  writeFile(dir / u"a", "aaa");
  writeFile(dir / u"b", "bb");
  const auto a = os->fileIdentity(dir / u"a");
  const auto b = os->fileIdentity(dir / u"b");
  ASSERT_EQ(a.error, kOk);
  ASSERT_EQ(b.error, kOk);
  EXPECT_FALSE(a.identity == b.identity);
  EXPECT_EQ(a.identity.size, 3u);
  ASSERT_EQ(os->moveNoReplace(dir / u"a", dir / u"c"), kOk);
  EXPECT_EQ(os->fileIdentity(dir / u"c").identity, a.identity);
  ASSERT_EQ(os->replaceFile(dir / u"c", dir / u"b"), kOk);
  EXPECT_EQ(readFile(dir / u"b"), "aaa");
  EXPECT_EQ(os->fileIdentity(dir / u"b").identity, a.identity);
  EXPECT_EQ(os->fileIdentity(dir / u"c").error, static_cast<OsError>(ERROR_FILE_NOT_FOUND));

  const auto created = os->createNewFile(dir / u"j");
  ASSERT_EQ(created.error, kOk);
  EXPECT_EQ(os->writeBytes(created.handle, "x"), kOk);
  EXPECT_EQ(os->flushFile(created.handle), kOk);
  EXPECT_EQ(os->closeFile(created.handle), kOk);
}

// Who may write what the tool acts on, read from the name itself. Wine
// shows every file as its user's (the account the tests run as), and a Unix
// mode that lets others write as Everyone allowed to.
TEST_F(Win32Files, WhoMayWriteAFileOrAFolder) {
  const auto security = makeNativeFileSecurity();
  writeFile(dir / u"a.new", "x");
  ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t*>((dir / u"sub").c_str()), nullptr));
  auto facts = security->inspect(dir / u"a.new");
  EXPECT_EQ(facts.error, kOk);
  EXPECT_EQ(facts.kind, FileKind::File);
  EXPECT_EQ(facts.links, 1u);
  EXPECT_TRUE(facts.trusted()) << toUtf8(facts.foreignOwner) << " " << facts.foreignWriters.size();
  facts = security->inspect(dir / u"sub");
  EXPECT_EQ(facts.kind, FileKind::Directory);
  EXPECT_TRUE(facts.trusted());
  EXPECT_EQ(security->inspect(dir / u"missing").error, kErrorFileNotFound);
  EXPECT_EQ(security->inspect(dir / u"missing\\deeper").error, kErrorFileNotFound);

  ASSERT_TRUE(testing::chmodUnixFile(dir / u"a.new", "o+w"));
  facts = security->inspect(dir / u"a.new");
  EXPECT_FALSE(facts.trusted());
  ASSERT_EQ(facts.foreignWriters.size(), 1u);
  EXPECT_NE(toUtf8(facts.foreignWriters[0]).find("Everyone"), std::string::npos) << toUtf8(facts.foreignWriters[0]);
  ASSERT_TRUE(testing::chmodUnixFile(dir / u"sub", "o+w"));
  EXPECT_FALSE(security->inspect(dir / u"sub").trusted());

  ASSERT_TRUE(CreateHardLinkW(reinterpret_cast<const wchar_t*>((dir / u"b.new").c_str()),
                              reinterpret_cast<const wchar_t*>((dir / u"a.new").c_str()), nullptr));
  EXPECT_EQ(security->inspect(dir / u"a.new").links, 2u);
}

// A private file is a new one: nothing at its name is ever opened, written
// through or replaced.
TEST_F(Win32Files, APrivateFileIsAlwaysANewOne) {
  writeFile(dir / u"target", "keep");
  ASSERT_TRUE(CreateHardLinkW(reinterpret_cast<const wchar_t*>((dir / u"hard").c_str()),
                              reinterpret_cast<const wchar_t*>((dir / u"target").c_str()), nullptr));
  EXPECT_EQ(os->createPrivateFile(dir / u"hard").error, kErrorFileExists);
  EXPECT_EQ(os->createPrivateFile(dir / u"target").error, kErrorFileExists);
  // Wine's CreateSymbolicLinkW says yes and makes nothing (and shows a Unix
  // link as the file it leads to): links are for real Windows, and the
  // doubles.
  if (symbolicLink(dir / u"soft", dir / u"target", 0)) {
    EXPECT_EQ(os->createPrivateFile(dir / u"soft").error, kErrorFileExists);
    EXPECT_EQ(makeNativeFileSecurity()->inspect(dir / u"soft").kind, FileKind::Link);
  }
  EXPECT_EQ(readFile(dir / u"target"), "keep");

  const auto created = os->createPrivateFile(dir / u"j.tmp");
  ASSERT_EQ(created.error, kOk);
  EXPECT_EQ(os->writeBytes(created.handle, "journal"), kOk);
  EXPECT_EQ(os->closeFile(created.handle), kOk);
  EXPECT_EQ(readFile(dir / u"j.tmp"), "journal");
  EXPECT_TRUE(makeNativeFileSecurity()->inspect(dir / u"j.tmp").trusted());
}

// A runnable file is a new one too, with or without a file to take its
// rights from, and only administrators may change it. (Wine keeps no
// access lists: who may read it is for the doubles.)
TEST_F(Win32Files, ARunnableFileIsANewOneOnlyAdministratorsMayChange) {
  writeFile(dir / u"a.exe", "v1");
  EXPECT_EQ(os->createRunnableFile(dir / u"a.exe", dir / u"a.exe").error, kErrorFileExists);
  EXPECT_EQ(readFile(dir / u"a.exe"), "v1");
  for (const auto* model : {u"a.exe", u"missing.exe"}) {
    const auto name = dir / (std::u16string(model) + u".copy");
    const auto created = os->createRunnableFile(name, dir / model);
    ASSERT_EQ(created.error, kOk);
    EXPECT_EQ(os->writeBytes(created.handle, "v2"), kOk);
    EXPECT_EQ(os->closeFile(created.handle), kOk);
    EXPECT_EQ(readFile(name), "v2");
    EXPECT_TRUE(makeNativeFileSecurity()->inspect(name).trusted());
  }
}

// The attribute is taken off, and nothing else changes; a missing file
// says so.
TEST_F(Win32Files, TheReadOnlyAttributeIsCleared) {
  writeFile(dir / u"r.new", "N");
  const auto path = dir / u"r.new";
  const auto* name = reinterpret_cast<const wchar_t*>(path.c_str());
  EXPECT_EQ(os->clearReadOnly(path), kOk);
  EXPECT_EQ(os->clearReadOnly(dir / u"none.new"), kErrorFileNotFound);
  // Where the system keeps the attribute, it is gone.
  if (SetFileAttributesW(name, FILE_ATTRIBUTE_READONLY) &&
      (GetFileAttributesW(name) & FILE_ATTRIBUTE_READONLY) != 0) {
    EXPECT_EQ(os->clearReadOnly(path), kOk);
    EXPECT_EQ(GetFileAttributesW(name) & FILE_ATTRIBUTE_READONLY, 0u);
  }
  EXPECT_EQ(readFile(path), "N");
}

// Every spelling of a folder resolves to one path; a file that is not
// there yet resolves through its folder.
TEST_F(Win32Files, FinalPathsAndMovableFiles) {
  writeFile(dir / u"a.exe", "x");
  const auto real = os->finalPath(dir / u"a.exe");
  EXPECT_EQ(os->upperCase(os->finalPath(dir / u"A.EXE")), os->upperCase(real));
  const auto missing = os->finalPath(dir / u"b.exe");
  EXPECT_EQ(missing.substr(0, missing.size() - 5), real.substr(0, real.size() - 5));
  if (symbolicLink(dir / u"alias", dir.path(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    EXPECT_EQ(os->upperCase(os->finalPath(dir / u"alias\\a.exe")), os->upperCase(real));
  }

  EXPECT_EQ(os->probeMovable(dir / u"a.exe"), kOk);
  EXPECT_EQ(os->probeMovable(dir / u"missing.exe"), kErrorFileNotFound);
  {
    const auto shared = openWith(dir / u"a.exe", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    EXPECT_EQ(os->probeMovable(dir / u"a.exe"), kOk);
  }
  const auto held = openWith(dir / u"a.exe", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(held);
  EXPECT_EQ(os->probeMovable(dir / u"a.exe"), kErrorSharingViolation);
}

TEST(Win32Process, CommandLineAndOwnPath) {
  const auto os = makeNativeFileAndProcess(0, nullptr);
  const auto line = os->commandLine();
  EXPECT_FALSE(line.isSplit);
  EXPECT_NE(line.whole.find(u"win32_platform_tests"), std::u16string::npos);
  const auto path = os->ownExecutablePath();
  ASSERT_TRUE(path);
  EXPECT_EQ(path->substr(path->size() - 24), u"win32_platform_tests.exe");
  EXPECT_EQ((*path)[1], u':');
}

TEST(Win32Process, RedirectedStandardOutputIsNotAConsole) {
  const auto os = makeNativeFileAndProcess(0, nullptr);
  const auto opened = os->openStdout();
  EXPECT_EQ(opened.error, kOk);
  // ctest captures output through a pipe.
  EXPECT_FALSE(opened.isConsole);
  const auto clock = makeNativeClock();
  const auto before = clock->monotonicMilliseconds();
  clock->pause(1);
  EXPECT_GE(clock->monotonicMilliseconds(), before);
  EXPECT_GT(clock->wallClockSeconds(), 1'700'000'000);
}

// Last in this file: hardening holds for the rest of the process.
TEST(Win32Process, OnceHardenedNoLibraryIsLoadedFromTheProgramsFolder) {
  HMODULE planted = LoadLibraryW(L"usqz_probe.dll");
  ASSERT_NE(planted, nullptr) << "the probe library should load from the program's folder before";
  FreeLibrary(planted);

  hardenProcess();
  planted = LoadLibraryW(L"usqz_probe.dll");
  EXPECT_EQ(planted, nullptr);
  if (planted != nullptr) FreeLibrary(planted);
  HMODULE system = LoadLibraryW(L"version.dll");
  EXPECT_NE(system, nullptr);
  if (system != nullptr) FreeLibrary(system);
}

}  // namespace
}  // namespace usqz::platform

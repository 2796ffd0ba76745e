#include "tool_process.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/unique_handles.h"
#include "platform/win32/windows_api.h"
#include "platform/text.h"

namespace usqz::testing {

namespace {

using platform::win32::nullIfInvalid;
using platform::win32::UniqueKernelHandle;
using platform::win32::WideZ;

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

UniqueKernelHandle inheritableTempFile(const std::u16string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueKernelHandle(nullIfInvalid(CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                                      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr)));
}

void removeTree(const std::u16string& directory) {
  WIN32_FIND_DATAW entry;
  const std::u16string pattern = directory + u"*";
  HANDLE search = FindFirstFileW(wide(pattern), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(entry.cFileName));
      if (name == u"." || name == u"..") continue;
      const std::u16string full = directory + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(full + u"\\");
      } else {
        SetFileAttributesW(wide(full), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(wide(full));
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(wide(directory));
}

enum class End { ByItself, Asked, TimedOut };

// Waits for the process until `timeoutMs`, or until `endNow` says so when
// given.
End awaitEnd(HANDLE process, std::uint32_t timeoutMs, const std::function<bool()>& endNow) {
  if (!endNow) return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0 ? End::ByItself : End::TimedOut;
  const auto deadline = GetTickCount64() + timeoutMs;
  while (!endNow()) {
    if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) return End::ByItself;
    if (GetTickCount64() >= deadline) return End::TimedOut;
  }
  return End::Asked;
}

ProcessResult run(const std::u16string& commandLine, const std::u16string& directory, Stdout stdoutMode,
                  std::uint32_t timeoutMs, bool endAtTimeout, const std::function<bool()>& endNow) {
  ScratchDirectory capture;
  const auto outPath = capture / u"stdout.bin";
  const auto errPath = capture / u"stderr.bin";
  ProcessResult result;
  {
    const auto out = inheritableTempFile(outPath);
    const auto err = inheritableTempFile(errPath);
    EXPECT_TRUE(out && err);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    // Wine hands a child given a null handle a console of its own instead.
    startup.hStdOutput = stdoutMode == Stdout::File ? out.get() : INVALID_HANDLE_VALUE;
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    std::u16string mutableLine = commandLine;
    const BOOL created = CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(mutableLine.data()), nullptr, nullptr,
                                        TRUE, CREATE_NO_WINDOW, nullptr, wide(directory), &startup, &process);
    const DWORD error = GetLastError();
    if (!created) {
      ADD_FAILURE() << "CreateProcessW failed with " << error << " for " << toUtf8(commandLine);
      return result;
    }
    const UniqueKernelHandle processHandle(process.hProcess);
    const UniqueKernelHandle threadHandle(process.hThread);
    const auto end = awaitEnd(process.hProcess, timeoutMs, endNow);
    if (end != End::ByItself) {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, 10'000);
      if (end == End::TimedOut && !endAtTimeout) ADD_FAILURE() << "process did not end in time: " << toUtf8(commandLine);
    } else if (endNow) {
      ADD_FAILURE() << "process ended before it was to be ended: " << toUtf8(commandLine);
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    result.exitStatus = status;
    FILETIME began{}, ended{}, kernel{}, user{};
    if (GetProcessTimes(process.hProcess, &began, &ended, &kernel, &user)) {
      const auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
      };
      result.cpuMs = static_cast<double>(ticks(kernel) + ticks(user)) / 10'000.0;  // 100 ns units
    }
  }
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

}  // namespace

ProcessResult runProcess(const std::u16string& commandLine, const std::u16string& directory, Stdout stdoutMode,
                         std::uint32_t timeoutMs, bool endAtTimeout) {
  return run(commandLine, directory, stdoutMode, timeoutMs, endAtTimeout, {});
}

ProcessResult runProcessEndedWhen(const std::u16string& commandLine, const std::u16string& directory,
                                  const std::function<bool()>& endNow, std::uint32_t timeoutMs) {
  return run(commandLine, directory, Stdout::File, timeoutMs, false, endNow);
}

ScratchDirectory::ScratchDirectory() {
  wchar_t base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  static unsigned counter = 0;
  for (;;) {
    path_ = std::u16string(reinterpret_cast<const char16_t*>(base), length) + u"usqz-" +
            toDecimal(GetCurrentProcessId()) + u"-" + toDecimal(++counter) + u"\\";
    if (CreateDirectoryW(wide(path_), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create a scratch directory";
      break;
    }
  }
}

ScratchDirectory::~ScratchDirectory() { removeTree(path_); }

bool fileExists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string readFile(const std::u16string& path) {
  UniqueKernelHandle file(nullIfInvalid(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr)));
  if (!file) return "<missing>";
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

void writeFile(const std::u16string& path, const std::string& bytes) {
  UniqueKernelHandle file(
      nullIfInvalid(CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
  ASSERT_TRUE(file) << "cannot write " << toUtf8(path);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

void copyFile(const std::u16string& from, const std::u16string& to) {
  ASSERT_TRUE(CopyFileW(wide(from), wide(to), FALSE)) << "copy failed: " << toUtf8(from) << " -> " << toUtf8(to)
                                                      << " error " << GetLastError();
}

namespace {

std::u16string unixNameOf(std::u16string file) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return {};
  while (!file.empty() && file.back() == u'\\') file.pop_back();
  char* name = unixName(reinterpret_cast<const wchar_t*>(file.c_str()));
  if (name == nullptr) return {};
  const auto unix = fromUtf8(name);
  HeapFree(GetProcessHeap(), 0, name);
  return unix;
}

// Runs `command` with sh, $0 and $1 the Unix names of `first` and `second`.
// Wine starts a Unix program as it starts a Windows one, but hands back no
// handle to wait on: the program leaves a mark beside `first` when done.
bool runUnixShell(const std::string& command, const std::u16string& first, const std::u16string& second = {}) {
  const auto one = unixNameOf(first);
  const auto two = second.empty() ? std::u16string(u"-") : unixNameOf(second);
  if (one.empty() || two.empty()) return false;
  std::u16string line = u"sh -c \"" + fromUtf8(command) + u" && touch \\\"$0.shell-done\\\"\" \"" + one + u"\" \"" +
                        two + u"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  auto mark = first;
  while (!mark.empty() && mark.back() == u'\\') mark.pop_back();
  mark += u".shell-done";
  for (int waited = 0; waited < 200; ++waited) {
    if (DeleteFileW(reinterpret_cast<const wchar_t*>(mark.c_str()))) return true;
    Sleep(50);
  }
  return false;
}

}  // namespace

bool chmodUnixFile(const std::u16string& path, const char* mode) {
  return runUnixShell(std::string("chmod ") + mode + " \\\"$0\\\"", path);
}

bool removeUnixName(const std::u16string& path) { return runUnixShell("rm -f \\\"$0\\\"", path); }

bool linkUnixFile(const std::u16string& link, const std::u16string& target) {
  return runUnixShell("ln -s \\\"$1\\\" \\\"$0\\\"", link, target);
}

std::u16string windowsPath(const char* path) {
  std::u16string converted = fromUtf8(path);
  if (!converted.empty() && converted.front() == u'/') converted = u"Z:" + converted;
  for (auto& c : converted) {
    if (c == u'/') c = u'\\';
  }
  return converted;
}

}  // namespace usqz::testing

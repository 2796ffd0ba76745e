// Runs a Windows program the way an operator's script would, and collects
// what it left: exit status, standard output and standard error as bytes.
// Windows only (under Wine in this project's tests).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace usqz::testing {

enum class Stdout { File, Missing };

struct ProcessResult {
  std::uint32_t exitStatus = 0;
  double cpuMs = 0;  // processor time the process used, user and kernel
  std::string out;
  std::string err;
};

// `commandLine` is handed over exactly as given; `directory` is the working
// directory. Waits at most `timeoutMs` and fails the test beyond it, unless
// `endAtTimeout`: then the process is ended there (TerminateProcess), as a
// deployment system ends a run past its time limit.
ProcessResult runProcess(const std::u16string& commandLine, const std::u16string& directory,
                         Stdout stdoutMode = Stdout::File, std::uint32_t timeoutMs = 120'000,
                         bool endAtTimeout = false);

// As runProcess, but ended (TerminateProcess) once `endNow` says so, asked
// every 50 ms: a run ended from outside at a moment the test recognises
// (what the service's own log says) rather than at a time. Fails the test when
// the process ends by itself first, or runs on past `timeoutMs`.
ProcessResult runProcessEndedWhen(const std::u16string& commandLine, const std::u16string& directory,
                                  const std::function<bool()>& endNow, std::uint32_t timeoutMs = 120'000);

// A new empty directory under the temporary folder, removed by its owner.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::u16string& path() const { return path_; }  // ends with '\'
  std::u16string operator/(const std::u16string& name) const { return path_ + name; }

 private:
  std::u16string path_;
};

// Whole-file helpers; readFile gives "<missing>" for a file that is not there.
bool fileExists(const std::u16string& path);
std::string readFile(const std::u16string& path);
void writeFile(const std::u16string& path, const std::string& bytes);
void copyFile(const std::u16string& from, const std::u16string& to);

// A path from the build (a Unix path under Wine) as Windows sees it.
std::u16string windowsPath(const char* path);

// Under Wine: runs chmod with `mode` on the file behind a Windows path, the
// one way to let others write a file there (Wine shows a Unix mode that
// lets others write as Everyone allowed to). False when it could not.
bool chmodUnixFile(const std::u16string& path, const char* mode);
// Under Wine: a Unix symbolic link at `link` to `target`, which Wine shows
// as the file it points to (renaming or deleting the name acts on the
// target). False when it could not.
bool linkUnixFile(const std::u16string& link, const std::u16string& target);
// Under Wine: the name itself removed, a link and not what it points to.
bool removeUnixName(const std::u16string& path);

}  // namespace usqz::testing

// exit_status RCFILE DIRECTORY COMMANDFILE: runs the command line that
// COMMANDFILE holds (UTF-8, as given: wine would re-quote one passed as an
// argument) in the directory, and writes its whole exit status to RCFILE,
// for callers outside Wine, which passes on only the low 8 bits of one.
#include <cstdio>
#include <string>

#include "platform/win32/windows_api.h"

int main() {
  std::wstring line = GetCommandLineW();
  const auto next = [&line]() {
    while (!line.empty() && line.front() == L' ') line.erase(0, 1);
    std::wstring word;
    if (!line.empty() && line.front() == L'"') {
      const auto close = line.find(L'"', 1);
      word = line.substr(1, close - 1);
      line.erase(0, close == std::wstring::npos ? line.size() : close + 1);
    } else {
      const auto space = line.find(L' ');
      word = line.substr(0, space);
      line.erase(0, space == std::wstring::npos ? line.size() : space);
    }
    return word;
  };
  next();  // the program
  const std::wstring rcFile = next();
  const std::wstring directory = next();
  const std::wstring commandFile = next();
  std::string bytes;
  if (std::FILE* in = _wfopen(commandFile.c_str(), L"rb")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) bytes.append(buffer, got);
    std::fclose(in);
  }
  std::wstring command(bytes.size() + 1, L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), command.data(),
                                         static_cast<int>(command.size()));
  command.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  DWORD status = 255;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &startup,
                     &child)) {
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
  } else {
    std::fprintf(stderr, "cannot start: %lu\n", GetLastError());
  }
  if (std::FILE* out = _wfopen(rcFile.c_str(), L"w")) {
    std::fprintf(out, "%lu\n", status);
    std::fclose(out);
  }
  return 0;
}

// The fixture of the end-to-end updates: a folder with the tool, the test
// service's two builds and the service's names, as an operator's script
// sets them up.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/windows_api.h"
#include "support/console_lines.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz::testing {

inline const std::string kSuccess = "Atualizado com sucesso!\r\n";

struct Update : ::testing::Test {
  ScratchDirectory folder;  // the tool's folder and the working directory
  ServiceNames names;       // declared after the folder: removed before it
  std::u16string name = names.make(u"QZE2E");
  std::u16string item = name.substr(2);
  std::u16string current = folder / (u"qz_" + item + u".exe");
  std::u16string fresh = folder / (u"qz_" + item + u".new");
  std::u16string backup = folder / (u"qz_" + item + u".old");
  std::u16string resultFile = folder / (u"updateServiceQZ-" + name + u".txt");
  std::string v1 = readFile(testServiceV1());
  std::string v2 = readFile(testServiceV2());

  void SetUp() override {
    copyFile(builtTool(), folder / u"UpdateServiceQZ.exe");
    copyFile(testServiceV2(), fresh);
  }

  void installV1(bool start) {
    copyFile(testServiceV1(), current);
    installService(name, current, start);
  }
  void behaviour(const std::string& config) { writeFile(folder / u"test_service.cfg", config); }
  // v1 running, then an update ended from outside while v2 is starting:
  // the journal says so, v2 is at the executable's name, v1 at the backup's.
  ProcessResult killedWhileTheNewVersionStarts() {
    behaviour("stop_ms=300\nv2:start_pending_ms=4000\n");
    installV1(true);
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name, folder.path(),
                      Stdout::File, 2500, true);
  }

  ProcessResult update(const std::u16string& options = {}) {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + options,
                      folder.path());
  }

  std::string head() const {
    return lines({"SCManager :: conectado", "Service :: name: " + toUtf8(name), "Service :: encontrado"});
  }
  std::string errorLine(const std::string& message) const {
    return "Ocorreu um erro ao atualizar o servi\xE7o: " + toUtf8(name) + ". Erro: " + message + "\r\n";
  }
  std::string result() const { return readFile(resultFile); }
  // Which build a file holds, so that a failure names it instead of
  // printing the executable.
  std::string version(const std::u16string& path) const {
    const auto bytes = readFile(path);
    return bytes == v1 ? "v1" : bytes == v2 ? "v2" : bytes.size() < 40 ? bytes : "other";
  }

  // The test service's own log: "<build> <event>" lines, oldest first.
  std::vector<std::string> events() const {
    std::istringstream log(readFile(folder / u"events.log"));
    std::vector<std::string> found;
    std::string tick, build, event;
    while (log >> tick >> build && std::getline(log, event)) {
      if (!event.empty() && event.back() == '\r') event.pop_back();  // written in text mode
      found.push_back(build + event);
    }
    return found;
  }
};

}  // namespace usqz::testing

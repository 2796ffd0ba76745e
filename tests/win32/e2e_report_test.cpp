// What changed and how to undo it, end to end: the report a run writes
// (--report), the event texts the executable carries (--event-log), and a
// rollback on demand (--rollback), with the real tool under Wine against
// its service manager and the test service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "e2e_update.h"
#include "support/json_check.h"
// After windows.h, which it needs.
#include <wincrypt.h>

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// gtest's own expressions on Windows are too simple for these.
bool has(const std::string& text, const char* pattern) { return std::regex_search(text, std::regex(pattern)); }

std::string sha256Of(const std::string& bytes) {
  BYTE hash[32];
  DWORD size = sizeof(hash);
  if (!CryptHashCertificate2(L"SHA256", 0, nullptr, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()), hash, &size)) {
    return "unhashed";
  }
  std::string hex;
  for (DWORD i = 0; i < size; ++i) {
    hex += "0123456789abcdef"[hash[i] >> 4];
    hex += "0123456789abcdef"[hash[i] & 0xF];
  }
  return hex;
}

struct Reported : Update {
  std::u16string reportFile = folder / u"report.json";
  std::u16string told = u" --exit-code --report \"" + reportFile + u"\"";
  std::string report() const { return fileExists(reportFile) ? readFile(reportFile) : std::string(); }

  // The report is whole JSON, and says the outcome and status it should.
  void expectReport(const ProcessResult& run, unsigned status, const std::string& outcome) {
    EXPECT_EQ(run.exitStatus, status) << run.out;
    const auto json = report();
    EXPECT_TRUE(JsonCheck::valid(json)) << json;
    EXPECT_THAT(json, HasSubstr("\"outcome\": \"" + outcome + "\",\n"));
    EXPECT_THAT(json, HasSubstr("\"exitCode\": " + std::to_string(status) + ",\n"));
    EXPECT_THAT(json, HasSubstr("\"service\": \"" + toUtf8(name) + "\",\n"));
  }
  // "previous", "new" or "running": which build, as its size, hash and
  // version resource say.
  void expectVersion(const std::string& which, const std::string& bytes, const std::string& fileVersion) const {
    const auto json = report();
    const auto at = json.find("\"" + which + "\": {");
    ASSERT_NE(at, std::string::npos) << json;
    const auto block = json.substr(at, json.find('}', at) - at);
    EXPECT_THAT(block, HasSubstr("\"size\": " + std::to_string(bytes.size()) + ",\n"));
    EXPECT_THAT(block, HasSubstr("\"sha256\": \"" + sha256Of(bytes) + "\",\n"));
    EXPECT_THAT(block, HasSubstr("\"fileVersion\": \"" + fileVersion + "\",\n"));
  }
};

TEST_F(Reported, AnUpdateARefusalACheckAndABusyRun) {
  // Read when v2 starts: its stop, at the end, keeps a run under way.
  behaviour("v2:stop_ms=3000\n");
  installV1(true);
  auto run = update(told);
  expectReport(run, 0, "updated");
  expectVersion("previous", v1, "1.0.0.0");
  expectVersion("new", v2, "2.0.0.0");
  expectVersion("running", v2, "2.0.0.0");
  EXPECT_THAT(report(), HasSubstr("\"result\": \"Atualizado com sucesso!\",\n"));
  EXPECT_TRUE(has(report(), "\"downtimeMs\": [0-9]+,\n")) << report();
  EXPECT_TRUE(has(report(), "\"started\": \"20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9:]{8}\\.[0-9]{3}Z\"")) << report();

  writeFile(fresh, "MZ, cut short");
  expectReport(update(told), 10, "refused");
  EXPECT_THAT(report(), HasSubstr("\"downtimeMs\": null"));
  EXPECT_THAT(report(), HasSubstr("\"steps\": []"));

  copyFile(testServiceV1(), fresh);
  expectReport(update(told + u" --check"), 0, "check-passed");
  expectVersion("new", v1, "1.0.0.0");
  EXPECT_EQ(version(current), "v2");

  const auto seen = events().size();
  ProcessResult first;
  std::thread firstRun([&] { first = update(); });
  // The first run holds the lock once it has asked v2 to stop.
  for (int i = 0; i < 200 && (events().size() == seen || events().back() != "v2 stop requested"); ++i) Sleep(50);
  const auto second = update(told);
  firstRun.join();
  expectReport(second, 1618, "busy");
  EXPECT_THAT(report(), HasSubstr("\"result\": null"));
  EXPECT_EQ(first.exitStatus, 0u) << first.out;
}

TEST_F(Reported, ARollbackOnAFailedStartAndARecovery) {
  installV1(true);
  behaviour("v2:die_after_ms=300\nv2:exit_code=1067\n");
  expectReport(update(told), 11, "rolled-back");
  EXPECT_THAT(report(), HasSubstr("{\"step\": \"rolled-back\", \"at\": "));
  EXPECT_TRUE(has(report(), "\"downtimeMs\": [0-9]+,\n")) << report();
  expectVersion("running", v1, "1.0.0.0");

  // Ended from outside halfway; the next run undoes it first, then updates.
  behaviour("stop_ms=700\nv2:start_pending_ms=700\n");
  const auto killed = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name,
                                 folder.path(), Stdout::File, 1600, true);
  ASSERT_TRUE(fileExists(folder / (u"qz_" + item + u".journal"))) << killed.out;
  expectReport(update(told), 0, "updated");
  EXPECT_TRUE(has(report(), "\"recovery\": \\{\"deadRunStep\": \"[a-z-]+\", \"outcome\": \"undone\", "
                            "\"message\": null\\}"))
      << report();
  expectVersion("running", v2, "2.0.0.0");
}

// Back to the backup and forward again; a backup that fails its start
// leaves the version that ran; without a backup there is nothing to do.
TEST_F(Reported, ARollbackOnDemandTwice) {
  installV1(true);
  ASSERT_EQ(update(u" --exit-code").exitStatus, 0u);
  copyFile(testServiceV1(), fresh);
  writeFile(fresh, "staged");

  auto check = update(u" --exit-code --rollback --check");
  EXPECT_EQ(check.exitStatus, 0u) << check.out;
  EXPECT_THAT(check.out, HasSubstr("Vers\xF5" "es :: atual: 2.0.0.0 (qz_" + toUtf8(item) + ".exe)\r\n"
                                   "Vers\xF5" "es :: backup: 1.0.0.0 (qz_" + toUtf8(item) + ".old)\r\n"));
  EXPECT_THAT(check.out, HasSubstr("Verifica\xE7\xE3o: a revers\xE3o seguiria adiante; nada foi alterado."));
  EXPECT_EQ(version(current), "v2");

  auto run = update(told + u" --rollback");
  expectReport(run, 0, "rolled-back-on-demand");
  EXPECT_THAT(run.out, HasSubstr("  -> Guardando a vers\xE3o atual: EXE -> ROLLBACK\r\n"
                                 "  -> Reativando a vers\xE3o anterior: OLD -> EXE\r\n"));
  EXPECT_EQ(result(), "Revertido para a vers\xE3o anterior com sucesso!\r\n");
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(backup), "v2");
  EXPECT_EQ(readFile(fresh), "staged");
  EXPECT_EQ(events().back(), "v1 started");

  run = update(u" --exit-code --rollback");
  EXPECT_EQ(run.exitStatus, 0u) << run.out;
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));

  behaviour("v1:die_after_ms=300\nv1:exit_code=1067\n");
  run = update(u" --exit-code --rollback");
  EXPECT_EQ(run.exitStatus, 11u) << run.out;
  EXPECT_THAT(run.out, HasSubstr("  -> Restaurando a vers\xE3o que executava: ROLLBACK -> EXE\r\n"));
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_EQ(events().back(), "v2 started");

  DeleteFileW(reinterpret_cast<const wchar_t*>(backup.c_str()));
  run = update(u" --exit-code --rollback");
  EXPECT_EQ(run.exitStatus, 3u) << run.out;
  EXPECT_EQ(result(), "N\xE3o foi encontrada a vers\xE3o anterior do servi\xE7o.\r\n");
  EXPECT_FALSE(fileExists(folder / (u"qz_" + item + u".rollback")));
}

// Event Viewer reads an event's text from the executable's message table;
// Wine's event log keeps no events, so the table and the source's
// registration are what can be seen here.
TEST_F(Reported, TheExecutableCarriesTheEventTextsAndRegistersItsSource) {
  const auto tool = folder / u"UpdateServiceQZ.exe";
  const HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t*>(tool.c_str()), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr);
  const wchar_t* strings[] = {L"QZAgent", L"Atualizado com sucesso!", L"1.0.0.0", L"2.0.0.0", L"2.0.0.0", L"0"};
  for (const DWORD id : {1000u, 1001u, 1002u, 1003u, 1004u, 1005u, 1006u}) {
    wchar_t text[1024];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0, text, 1024,
                       reinterpret_cast<va_list*>(const_cast<wchar_t**>(strings)));
    ASSERT_GT(length, 0u) << id << ": " << GetLastError();
    const auto message = toUtf8(std::u16string(reinterpret_cast<const char16_t*>(text), length));
    EXPECT_THAT(message, HasSubstr("QZAgent")) << id;
    EXPECT_THAT(message, HasSubstr("Atualizado com sucesso!")) << id;
    if (id == 1000) {
      EXPECT_THAT(message, HasSubstr("O servi\xC3\xA7o QZAgent foi atualizado."));
    }
  }
  FreeLibrary(module);

  // Registered afresh by this run; one registered already is left be.
  const wchar_t* source = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\UpdateServiceQZ";
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, source);
  installV1(true);
  const auto run = update(u" --exit-code --event-log");
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_THAT(run.out, Not(HasSubstr("Registro de eventos"))) << run.out;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, source, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  wchar_t file[1024] = {};
  DWORD bytes = sizeof(file) - sizeof(wchar_t);
  EXPECT_EQ(RegQueryValueExW(key, L"EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE*>(file), &bytes),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(file)), tool);
}

}  // namespace
}  // namespace usqz::testing

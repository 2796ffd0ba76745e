// Only a trusted new version runs, for real: the tool's hash and signature
// checks against test service builds signed with a throwaway test PKI whose
// root the test adds to the machine's trusted roots (Wine's prefix here).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/windows_api.h"
// After windows.h, which it needs.
#include <wincrypt.h>
#include <aclapi.h>

#include "platform/text.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// As an administrator would: the test root into LocalMachine's Root store.
void trustTheTestRoot() {
  const auto der = readFile(testPki() + u"ca.der");
  ASSERT_NE(der, "<missing>");
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  ASSERT_NE(store, nullptr) << GetLastError();
  EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                               reinterpret_cast<const BYTE*>(der.data()),
                                               static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                               nullptr))
      << GetLastError();
  CertCloseStore(store, 0);
}

std::u16string line(const std::string& path) {
  auto text = readFile(testPki() + fromUtf8(path));
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }), text.end());
  return fromUtf8(text);
}

// v1 (signed by the test publisher, or not) installed and running; a new
// version placed beside the tool for each try.
struct Trusted : ::testing::Test {
  ScratchDirectory folder;
  ServiceNames names;
  std::u16string name = names.make(u"QZSIG");
  std::u16string item = name.substr(2);
  std::u16string current = folder / (u"qz_" + item + u".exe");
  std::u16string fresh = folder / (u"qz_" + item + u".new");
  std::u16string resultFile = folder / (u"updateServiceQZ-" + name + u".txt");

  void SetUp() override {
    trustTheTestRoot();
    copyFile(builtTool(), folder / u"UpdateServiceQZ.exe");
  }
  void install(const std::u16string& build) {
    copyFile(build, current);
    installService(name, current, true);
  }
  // The exit status (--exit-code) of a run with `newVersion` beside the tool.
  std::uint32_t update(const std::u16string& newVersion, const std::u16string& options) {
    copyFile(newVersion, fresh);
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + u" --exit-code " +
                          options,
                      folder.path())
        .exitStatus;
  }
  std::string result() const { return readFile(resultFile); }
  void expectRefused(std::uint32_t status, const std::string& why) {
    EXPECT_EQ(status, 10u) << result();
    EXPECT_THAT(result(), StartsWith("Erro: " + why)) << result();
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
    EXPECT_TRUE(fileExists(fresh));
  }
};

const std::u16string pki(const char16_t* file) { return testPki() + file; }

TEST_F(Trusted, ASignatureMustBeValidAndReachTheTestRoot) {
  install(testServiceV1());
  expectRefused(update(testServiceV2(), u"--require-signature"), "A nova vers\xE3o n\xE3o est\xE1 assinada");
  expectRefused(update(pki(u"v2-tampered.exe"), u"--require-signature"), "A assinatura da nova vers\xE3o n\xE3o \xE9 v\xE1lida");
  // A certificate the test root issued for a TLS server, not for code.
  expectRefused(update(pki(u"v2-tls.exe"), u"--require-signature"),
                "O certificado que assinou a nova vers\xE3o n\xE3o \xE9 de assinatura de c\xF3" "digo: ");
  expectRefused(update(pki(u"v2-self.exe"), u"--require-signature"),
                "A assinatura da nova vers\xE3o n\xE3o leva a uma autoridade confi\xE1vel");
  EXPECT_EQ(update(pki(u"v2-pub.exe"), u"--require-signature"), 0u) << result();
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
}

// Whether Everyone may write the file: Wine shows the Unix mode's "other"
// bits as Everyone's entry.
bool everyoneMayWrite(const std::u16string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool may = dacl == nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry) || static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (IsWellKnownSid(&allowed->SidStart, WinWorldSid) && (allowed->Mask & (FILE_WRITE_DATA | GENERIC_WRITE)) != 0) {
      may = true;
    }
  }
  LocalFree(descriptor);
  return may;
}

// A pin proves the new version's bytes, not who may change what runs
// afterwards: a folder others may write is refused, pinned or not. A new
// version others may write passes only pinned, and what runs is then the
// tool's own copy, which nobody else may write.
TEST_F(Trusted, APinLetsOnlyTheNewVersionComeFromAnywhere) {
  install(testServiceV1());
  const auto pin = u" --sha256 " + line("v2.sha256");
  const auto run = [&](const std::u16string& options) {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + u" --exit-code" +
                          options,
                      folder.path());
  };
  copyFile(pki(u"v2-pub.exe"), fresh);
  ASSERT_TRUE(chmodUnixFile(folder.path(), "o+w"));
  for (const auto& options : {std::u16string(u" --check"), std::u16string(), pin, u" --check" + pin}) {
    const auto refused = run(options);
    EXPECT_EQ(refused.exitStatus, 10u) << refused.out;
    EXPECT_THAT(refused.out, HasSubstr("Local n\xE3o confi\xE1vel: " + toUtf8(folder.path())));
    EXPECT_THAT(refused.out, HasSubstr(" pode ser alterado por "));
  }
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_TRUE(fileExists(fresh));
  ASSERT_TRUE(chmodUnixFile(folder.path(), "o-w"));

  ASSERT_TRUE(chmodUnixFile(fresh, "o+w"));
  for (const auto* options : {u" --check", u""}) {
    const auto refused = run(options);
    EXPECT_EQ(refused.exitStatus, 10u) << refused.out;
    EXPECT_THAT(refused.out, HasSubstr("Local n\xE3o confi\xE1vel: " + toUtf8(fresh) + " pode ser alterado por "));
  }
  const auto pinned = run(pin);
  EXPECT_EQ(pinned.exitStatus, 0u) << pinned.out;
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
  EXPECT_FALSE(everyoneMayWrite(current));
  EXPECT_FALSE(fileExists(fresh));
  // What runs is trusted: the next run, unpinned, goes ahead.
  EXPECT_EQ(update(testServiceV1(), u""), 0u) << result();
}

// A new version with a second name could be rewritten through it once it
// runs: refused, pinned or not. (Wine makes no symbolic links and shows a
// Unix one as its file: links are refused on the doubles.)
TEST_F(Trusted, ANewVersionWithASecondNameIsNeverActivated) {
  install(testServiceV1());
  const auto elsewhere = folder / u"elsewhere.exe";
  copyFile(pki(u"v2-pub.exe"), elsewhere);
  ASSERT_TRUE(CreateHardLinkW(reinterpret_cast<const wchar_t*>(fresh.c_str()),
                              reinterpret_cast<const wchar_t*>(elsewhere.c_str()), nullptr));
  for (const auto* options : {u" --exit-code", u" --exit-code --check", u" --exit-code --sha256 "}) {
    std::u16string arguments = options;
    if (arguments.back() == u' ') arguments += line("v2.sha256");
    const auto run = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + arguments,
                                folder.path());
    EXPECT_EQ(run.exitStatus, 10u) << run.out;
    EXPECT_THAT(run.out, HasSubstr("A nova vers\xE3o tem outro nome no disco (2 links f\xEDsicos)"));
  }
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_TRUE(fileExists(fresh));
}

// The test service's builds carry their versions (v1 1.0.0.0, v2 2.0.0.0):
// an older one is refused, signed or not; the same version rebuilt, or a
// newer one, passes.
TEST_F(Trusted, NoDowngradeRefusesAnOlderBuild) {
  install(testServiceV2());
  expectRefused(update(testServiceV1(), u"--no-downgrade"),
                "A nova vers\xE3o (1.0.0.0) \xE9 anterior \xE0 vers\xE3o atual (2.0.0.0), e --no-downgrade a recusa");
  EXPECT_EQ(update(pki(u"v1-pub.exe"), u"--no-downgrade --require-signature"), 10u) << result();
  EXPECT_EQ(update(pki(u"v2-pub.exe"), u"--no-downgrade"), 0u) << result();  // the same version, another build
  EXPECT_EQ(update(testServiceV1(), u""), 0u) << result();                  // without the option, as before
  EXPECT_EQ(update(testServiceV2(), u"--no-downgrade"), 0u) << result();
}

TEST_F(Trusted, ASignerPinnedByThumbprintOrName) {
  install(testServiceV1());
  const auto thumbprint = line("pub.sha256");
  ASSERT_EQ(thumbprint.size(), 64u);
  expectRefused(update(pki(u"v2-other.exe"), u"--signer " + thumbprint),
                "A nova vers\xE3o foi assinada por QZ Other (SHA-256 ");
  expectRefused(update(pki(u"v2-pub.exe"), u"--signer \"QZ Other\""), "A nova vers\xE3o foi assinada por QZ Publisher");
  // Upper case with colons, as a certificate dialog shows it; and a second
  // --signer for the rollover.
  std::u16string shown;
  for (std::size_t i = 0; i < thumbprint.size(); i += 2) {
    shown += (shown.empty() ? u"" : u":") + thumbprint.substr(i, 2);
  }
  for (auto& c : shown) c = static_cast<char16_t>(c >= u'a' && c <= u'f' ? c - 32 : c);
  EXPECT_EQ(update(pki(u"v2-pub.exe"), u"--signer \"QZ Other\" --signer " + shown), 0u) << result();
}

TEST_F(Trusted, TheSameSignerUnderANewKey) {
  install(pki(u"v1-pub.exe"));
  expectRefused(update(pki(u"v2-other.exe"), u"--same-signer"),
                "A nova vers\xE3o foi assinada por CN=QZ Other, O=QZ (emitido por CN=QZ Test Root, O=QZ), n\xE3o pelo "
                "editor da vers\xE3o atual, CN=QZ Publisher, O=QZ");
  EXPECT_EQ(update(pki(u"v2-pub2.exe"), u"--same-signer"), 0u) << result();
}

TEST_F(Trusted, AnUnsignedCurrentVersionVouchesForNothing) {
  install(testServiceV1());
  expectRefused(update(pki(u"v2-pub.exe"), u"--same-signer"),
                "A vers\xE3o atual n\xE3o est\xE1 assinada e n\xE3o pode atestar a nova");
}

// Under Wine a Unix link shows as the file it points to, and renaming or
// deleting it acts on that file. A link at the new version's name or at
// the names of the run's own files is refused before the stop, and what it
// points to stays where and as it was.
TEST_F(Trusted, LinksAtTheRunsNamesLeaveTheirTargetsAlone) {
  install(testServiceV1());
  const auto victim = folder / u"victim.exe";
  const auto shipped = readFile(pki(u"v2-pub.exe"));
  for (const auto& [suffix, says] :
       {std::pair{u".new", "A nova vers\xE3o \xE9 um link, n\xE3o um arquivo"},
        std::pair{u".copy", "existe e n\xE3o \xE9 da ferramenta"},
        std::pair{u".journal.tmp", "existe e n\xE3o \xE9 da ferramenta"}}) {
    SCOPED_TRACE(toUtf8(suffix));
    copyFile(pki(u"v2-pub.exe"), victim);
    if (std::u16string(suffix) != u".new") copyFile(pki(u"v2-pub.exe"), fresh);
    const auto link = folder / (u"qz_" + item + suffix);
    ASSERT_TRUE(linkUnixFile(link, victim));
    const auto run = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name +
                                    u" --exit-code --sha256 " + line("v2.sha256"),
                                folder.path());
    EXPECT_EQ(run.exitStatus, 10u) << run.out;
    EXPECT_THAT(run.out, HasSubstr(says));
    EXPECT_EQ(readFile(victim), shipped);
    EXPECT_EQ(readFile(current), readFile(testServiceV1()));
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
    ASSERT_TRUE(removeUnixName(link));
  }
}

// The result file lies in the working directory, which may be one anybody
// can write to: a link planted at its name is neither deleted, written
// through nor followed to create what it points to, and the run, which
// could not replace what it says, is refused before anything is touched.
TEST_F(Trusted, ALinkAtTheResultFilesNameInAnOpenWorkingDirectoryIsLeftAloneAndRefusesTheRun) {
  ScratchDirectory open;
  ASSERT_TRUE(chmodUnixFile(open.path(), "o+w"));
  const auto result = open / (u"updateServiceQZ-" + name + u".txt");
  const auto victim = folder / u"victim.ini";
  const auto missing = folder / u"created.ini";
  writeFile(victim, "[fonts]\r\n");
  const auto run = [&] {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + u" --exit-code",
                      open.path());
  };
  ASSERT_TRUE(linkUnixFile(result, victim));
  const auto linked = run();
  EXPECT_EQ(linked.exitStatus, 10u) << linked.out;
  EXPECT_THAT(linked.out, HasSubstr("Erro: O arquivo de resultado updateServiceQZ-" + toUtf8(name) +
                                    ".txt n\xE3o pode ser substitu\xED" "do: \xE9 um link, n\xE3o um arquivo"));
  EXPECT_THAT(linked.out, HasSubstr("Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-" +
                                    toUtf8(name) + ".txt. Erro: \xE9 um link, n\xE3o um arquivo"));
  EXPECT_EQ(readFile(victim), "[fonts]\r\n");
  ASSERT_TRUE(removeUnixName(result));

  // A link to nothing Wine shows as no file at all (Windows shows the
  // link): the run goes on, and what the link points to is still never
  // created.
  ASSERT_TRUE(linkUnixFile(result, missing));
  EXPECT_EQ(run().exitStatus, 3u);
  EXPECT_FALSE(fileExists(missing));
  removeUnixName(result);

  // With nothing planted, the result is written as ever (no new version:
  // nothing to do).
  const auto plain = run();
  EXPECT_EQ(plain.exitStatus, 3u);
  EXPECT_EQ(readFile(result), "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n");
}

// The test PKI publishes no revocation list: asked to check revocation,
// the tool cannot learn the signer's status and refuses, as it must; not
// asked, it fetches nothing and goes ahead.
TEST_F(Trusted, ARevocationStatusThatCannotBeLearnedRefuses) {
  install(testServiceV1());
  expectRefused(update(pki(u"v2-pub.exe"), u"--check-revocation"),
                "N\xE3o foi poss\xEDvel saber se o certificado que assinou a nova vers\xE3o foi revogado: ");
  EXPECT_EQ(update(pki(u"v2-pub.exe"), u"--require-signature"), 0u) << result();
}

TEST_F(Trusted, TheVeryBytesShipped) {
  install(testServiceV1());
  const auto hash = line("v2.sha256");
  expectRefused(update(pki(u"v2-pub2.exe"), u"--sha256 " + hash), "A nova vers\xE3o n\xE3o \xE9 a esperada: SHA-256 ");
  const auto malformed = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name +
                                        u" --exit-code --sha256 12:34",
                                    folder.path());
  EXPECT_EQ(malformed.exitStatus, 2u);
  EXPECT_THAT(malformed.out, StartsWith("Erro: Op\xE7\xE3o inv\xE1lida: --sha256 12:34"));
  EXPECT_EQ(update(pki(u"v2-pub.exe"), u"--sha256 " + hash), 0u) << result();
}

}  // namespace
}  // namespace usqz::testing

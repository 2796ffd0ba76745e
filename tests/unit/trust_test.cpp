// Only a trusted new version runs as the service: the options, the hash and
// signature checks before the stop, and the new version activated through
// the handle it was checked through.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "platform/text.h"
#include "harness.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::SignatureCheck;
using platform::SignatureStatus;
using platform::fake::TrustOp;
using ::testing::HasSubstr;

constexpr char16_t kThumb[] = u"3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b";

platform::Signer publisher(std::u16string commonName, std::u16string sha256, std::u16string issuer = u"CN=QZ Test CA") {
  return {u"CN=" + commonName + u", O=QZ", std::move(issuer), std::move(commonName), std::move(sha256)};
}

// -- the options ----------------------------------------------------------

TEST(TrustOptions, ValuesAreTakenAsAdministratorsCopyThem) {
  const auto o = scanOptions({u"tool", u"--service-name", u"QZA", u"--signer", u"3A:7B:D3:E2 36 0A 3D 29 EE A4 36 FC FB 7E 44 "
                              u"C7 35 D1 17 C4 2D 1C 18 35 42 0B 6B 99 42 DD 4F 1B", u"--signer", u"QZ Publisher",
                              u"--sha256", u"\u200E" + std::u16string(kThumb)});
  EXPECT_EQ(o.signers, (std::vector<std::u16string>{kThumb, u"QZ Publisher"}));
  EXPECT_EQ(o.sha256, kThumb);
  EXPECT_TRUE(o.requireSignature);
  EXPECT_TRUE(o.malformed.empty());
  // A value is a value: an option's name after --signer is a common name.
  EXPECT_EQ(scanOptions({u"tool", u"--signer", u"--exit-code"}).signers, std::vector<std::u16string>{u"--exit-code"});
  EXPECT_FALSE(scanOptions({u"tool", u"--signer", u"--exit-code"}).exitCode);
  EXPECT_TRUE(scanOptions({u"tool", u"--same-signer"}).requireSignature);
  EXPECT_FALSE(scanOptions({u"tool", u"--service-name", u"--sha256"}).verifiesNewVersion());
}

TEST(TrustOptions, MalformedValuesAreRefusedBeforeAnythingIsTouched) {
  for (const auto* arguments : {u"--sha256 1234", u"--sha256", u"--sha256 zz" , u"--signer",
                                u"--signer 0123456789abcdef0123456789abcdef01234567"}) {
    Harness h;
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    h.os.putFile(kResult, "old\r\n");
    h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code " + std::u16string(arguments)), 2) << toUtf8(arguments);
    EXPECT_THAT(h.out(), ::testing::StartsWith("Erro: Op\xE7\xE3o inv\xE1lida: --"));
    EXPECT_EQ(h.os.contents(kResult), "old\r\n");
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
    EXPECT_EQ(h.os.calls(FileOp::TryLock), 0u);
  }
}

// -- the checks -------------------------------------------------------------

struct TrustRun : ::testing::Test {
  Harness h;
  platform::fake::FakeService* service = nullptr;
  void SetUp() override {
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    service = &h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
    service->runningImage = kV1;
  }
  int run(const std::u16string& options) { return h.run(u"--service-name QZAgent --exit-code " + options); }
  std::string result() const { return h.os.contents(kResult).value_or(""); }
  void expectUpdated(int status) const {
    EXPECT_EQ(status, 0) << result();
    EXPECT_EQ(service->runningImage, kV2);
  }
  void expectRefused(int status, const std::string& why) const {
    EXPECT_EQ(status, 10);
    EXPECT_EQ(result(), "Erro: " + why + "\r\n");
    EXPECT_EQ(service->stopRequests, 0u);
    EXPECT_EQ(h.os.contents(kCurrent), kV1);
    EXPECT_EQ(h.os.contents(kNew), kV2);
    EXPECT_EQ(h.os.openFiles(), 0u);
  }
};

// It checks no signature, and runs its own copy of the new version, held
// from its creation to its activation: nobody else could change it.
TEST_F(TrustRun, TheDefaultRunChecksNoSignatureAndRunsItsOwnCopy) {
  expectUpdated(run(u""));
  EXPECT_EQ(h.trust.calls(TrustOp::CheckSignature), 0u);
  EXPECT_EQ(h.os.calls(FileOp::RenameOpenFile), 1u);
  EXPECT_TRUE(h.os.madeByTool(kCurrent));
  EXPECT_TRUE(h.os.changers(kCurrent).empty());
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
}

TEST_F(TrustRun, TheVeryBytesShippedAreActivated) {
  const auto hash = FakeTrust::hashOf(kV2);
  auto upper = toUtf8(hash);
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  expectUpdated(run(u"--sha256 " + fromUtf8(upper)));
  EXPECT_EQ(h.os.calls(FileOp::RenameOpenFile), 1u);

  // Another build where this one was expected.
  Harness other;
  other.os.putFile(kCurrent, kV1);
  other.os.putFile(kNew, peImage("v3"));
  auto& stays = other.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
  EXPECT_EQ(other.run(u"--service-name QZAgent --exit-code --sha256 " + hash), 10);
  EXPECT_EQ(other.os.contents(kResult), "Erro: A nova vers\xE3o n\xE3o \xE9 a esperada: SHA-256 " +
                                            toUtf8(FakeTrust::hashOf(peImage("v3"))) + ", esperado " + toUtf8(hash) +
                                            "\r\n");
  EXPECT_EQ(stays.stopRequests, 0u);
  EXPECT_EQ(other.os.openFiles(), 0u);
}

TEST_F(TrustRun, EachWayASignatureFailsIsRefusedInItsOwnWords) {
  struct Case {
    SignatureStatus status;
    std::string why;
  };
  h.texts.set(0x80096010, u"The digital signature of the object did not verify.");
  const std::vector<Case> cases = {
      {SignatureStatus::Tampered, "A assinatura da nova vers\xE3o n\xE3o \xE9 v\xE1lida: The digital signature of the "
                                  "object did not verify"},
      {SignatureStatus::Untrusted, "A assinatura da nova vers\xE3o n\xE3o leva a uma autoridade confi\xE1vel: "
                                   "0x80096010"},
      {SignatureStatus::Expired, "O certificado que assinou a nova vers\xE3o expirou e a assinatura n\xE3o tem "
                                 "carimbo de tempo"},
      {SignatureStatus::Unverifiable, "N\xE3o foi poss\xEDvel verificar a assinatura da nova vers\xE3o: 0x80096010"},
      {SignatureStatus::NotForCode, "O certificado que assinou a nova vers\xE3o n\xE3o \xE9 de assinatura de c\xF3"
                                    "digo: CN=QZ, O=QZ"},
  };
  expectRefused(run(u"--require-signature"), "A nova vers\xE3o n\xE3o est\xE1 assinada");
  for (const auto& c : cases) {
    const std::uint32_t code = c.status == SignatureStatus::Tampered ? 0x80096010 : 0x80096010;
    h.texts.set(0x80096010, c.status == SignatureStatus::Tampered ? u"The digital signature of the object did not verify."
                                                                  : u"");
    h.trust.sign(kV2, {c.status, code, publisher(u"QZ", kThumb)});
    expectRefused(run(u"--require-signature"), c.why);
  }
  h.trust.sign(kV2, {SignatureStatus::Valid, 0, publisher(u"QZ", kThumb)});
  expectUpdated(run(u"--require-signature"));
}

TEST_F(TrustRun, ASignerNamedByThumbprintOrCommonNameAnyOfSeveral) {
  h.trust.sign(kV2, {SignatureStatus::Valid, 0, publisher(u"QZ Publisher", kThumb)});
  const std::u16string other(64, u'0');
  expectRefused(run(u"--signer " + other + u" --signer \"QZ Other\""),
                "A nova vers\xE3o foi assinada por QZ Publisher (SHA-256 " + toUtf8(kThumb) + "), n\xE3o por " +
                    toUtf8(other) + " nem por QZ Other");
  expectUpdated(run(u"--signer " + other + u" --signer \"QZ Publisher\""));

  h.os.putFile(kNew, kV2);
  ASSERT_EQ(h.os.removeFile(kOld), platform::kOk);
  expectUpdated(run(u"--signer " + std::u16string(kThumb)));
}

// The current version vouches for its successor: the same publisher under
// the same issuer, whatever key signed (a certificate renewed).
TEST_F(TrustRun, TheSameSignerAsTheCurrentVersion) {
  h.trust.sign(kV2, {SignatureStatus::Valid, 0, publisher(u"QZ Publisher", kThumb)});
  expectRefused(run(u"--same-signer"), "A vers\xE3o atual n\xE3o est\xE1 assinada e n\xE3o pode atestar a nova");

  h.trust.sign(kV1, {SignatureStatus::Valid, 0, publisher(u"QZ Other", std::u16string(64, u'1'))});
  expectRefused(run(u"--same-signer"), "A nova vers\xE3o foi assinada por CN=QZ Publisher, O=QZ (emitido por CN=QZ "
                                       "Test CA), n\xE3o pelo editor da vers\xE3o atual, CN=QZ Other, O=QZ (emitido "
                                       "por CN=QZ Test CA)");

  h.trust.sign(kV1, {SignatureStatus::Valid, 0, publisher(u"QZ Publisher", std::u16string(64, u'2'), u"CN=Elsewhere")});
  EXPECT_EQ(run(u"--same-signer"), 10);

  // Renewed: another key, the same publisher; the current one's chain has
  // lapsed meanwhile, its signature is still whole.
  h.trust.sign(kV1, {SignatureStatus::Expired, 0x800B0101, publisher(u"QZ Publisher", std::u16string(64, u'3'))});
  expectUpdated(run(u"--same-signer"));
}

// The file checked is the file activated: from the check to the activation
// no other process can delete, rename, replace or rewrite the new version,
// and the activation renames that very file.
TEST_F(TrustRun, ANewVersionCannotBeSwappedAfterItsCheck) {
  h.trust.sign(kV2, {SignatureStatus::Valid, 0, publisher(u"QZ", kThumb)});
  std::vector<platform::OsError> attempts;
  h.services.faults().atCall(ServiceOp::SendStop, 1, [&] {
    attempts.push_back(h.os.removeFile(kNew));
    attempts.push_back(h.os.moveNoReplace(kNew, u"C:\\svc\\elsewhere"));
    h.os.putFile(u"C:\\svc\\evil", "evil");
    attempts.push_back(h.os.replaceFile(u"C:\\svc\\evil", kNew));
    attempts.push_back(h.os.createNewFile(kNew).error);
  });
  expectUpdated(run(u"--require-signature"));
  // A file is only ever created new: nothing at the name is opened.
  EXPECT_EQ(attempts, (std::vector<platform::OsError>{platform::kErrorSharingViolation, platform::kErrorSharingViolation,
                                                      platform::kErrorSharingViolation, platform::kErrorFileExists}));
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
  EXPECT_EQ(h.os.openFiles(), 0u);
}

// Checked, then rolled back: the held file is let go at the activation, so
// the rollback can move it back.
TEST_F(TrustRun, ACheckedVersionThatFailsIsRolledBackAsAnyOther) {
  h.trust.sign(kV2, {SignatureStatus::Valid, 0, publisher(u"QZ", kThumb)});
  service->startOnlyFor = kV2;
  service->start.diesAfterMs = 100;
  EXPECT_EQ(run(u"--require-signature"), 11);
  EXPECT_EQ(h.os.contents(kNew), kV2);
  EXPECT_EQ(service->runningImage, kV1);
  EXPECT_EQ(h.os.openFiles(), 0u);
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

// --check-revocation: the signer's chain asked about revocation online,
// within the tool's own bound; revoked, or a status that cannot be
// learned, refuses before anything is touched. Without it, nothing is
// asked (as a machine without a network needs).
TEST(Revocation, RevokedOrUnknownRefusesOnlyWhenAsked) {
  struct Case {
    const char* what;
    std::optional<platform::SignatureStatus> revocation;
    const char16_t* options;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"revoked, asked", platform::SignatureStatus::Revoked, u"--check-revocation", 10,
       "Erro: O certificado que assinou a nova vers\xE3o foi revogado: "},
      {"not learned, asked", platform::SignatureStatus::RevocationUnknown, u"--require-signature --check-revocation",
       10, "Erro: N\xE3o foi poss\xEDvel saber se o certificado que assinou a nova vers\xE3o foi revogado: "},
      {"good, asked", std::nullopt, u"--check-revocation", 0, "Atualizado com sucesso!"},
      {"revoked, not asked", platform::SignatureStatus::Revoked, u"--require-signature", 0, "Atualizado com sucesso!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
    service.runningImage = kV1;
    h.trust.sign(kV2, {SignatureStatus::Valid, 0, {u"CN=QZ", u"CN=QZ CA", u"QZ", std::u16string(64, u'a')}});
    if (c.revocation) h.trust.revoke(kV2, *c.revocation);
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code " + std::u16string(c.options)), c.status);
    EXPECT_EQ(h.os.contents(kResult).value_or("").rfind(c.says, 0), 0u) << h.os.contents(kResult).value_or("");
    EXPECT_EQ(service.runningImage, c.status == 0 ? kV2 : kV1);
    const bool asked = std::u16string(c.options).find(u"--check-revocation") != std::u16string::npos;
    EXPECT_EQ(h.trust.revocationTimeouts(), asked ? std::vector<std::uint32_t>{15'000} : std::vector<std::uint32_t>{});
    if (c.status != 0) {
      EXPECT_EQ(service.stopRequests, 0u);
      EXPECT_EQ(h.os.contents(kNew), kV2);
    }
  }
  // The option alone asks for a signature.
  Harness h;
  h.os.putFile(kCurrent, kV1);
  h.os.putFile(kNew, kV2);
  h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning).runningImage = kV1;
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --check-revocation"), 10);
  EXPECT_EQ(h.os.contents(kResult), "Erro: A nova vers\xE3o n\xE3o est\xE1 assinada\r\n");
}

}  // namespace
}  // namespace usqz

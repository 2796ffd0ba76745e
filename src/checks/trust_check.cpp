#include "checks/trust_check.h"

#include "platform/text.h"
#include "common/tool_error.h"

namespace usqz {

namespace {

using platform::SignatureStatus;

// The tool's own bound on fetching revocation lists and answers: a
// responder that does not answer costs this, not the run.
constexpr std::uint32_t kRevocationTimeoutMs = 15'000;

// The system's text for a code, or the code itself where it has none (the
// trust providers' codes are HRESULTs, which not every system words).
std::u16string describe(platform::ErrorTexts& texts, platform::OsError code) {
  auto text = texts.describe(code);
  if (!text.empty()) return text;
  return u"0x" + toHex(code, 8, true);
}

// Why a signature does not vouch for `which` ("da nova versão"), if it does not.
std::u16string refusal(platform::ErrorTexts& texts, const platform::SignatureCheck& check,
                       const std::u16string& which) {
  switch (check.status) {
    case SignatureStatus::Valid: return {};
    case SignatureStatus::Unsigned: return u"A " + which + u" não está assinada";
    case SignatureStatus::Tampered:
      return u"A assinatura da " + which + u" não é válida: " + describe(texts, check.error);
    case SignatureStatus::Untrusted:
      return u"A assinatura da " + which + u" não leva a uma autoridade confiável: " + describe(texts, check.error);
    case SignatureStatus::Expired:
      return u"O certificado que assinou a " + which + u" expirou e a assinatura não tem carimbo de tempo";
    case SignatureStatus::NotForCode:
      return u"O certificado que assinou a " + which + u" não é de assinatura de código: " + check.signer.subject;
    case SignatureStatus::Revoked:
      return u"O certificado que assinou a " + which + u" foi revogado: " + describe(texts, check.error);
    case SignatureStatus::RevocationUnknown:
      return u"Não foi possível saber se o certificado que assinou a " + which + u" foi revogado: " +
             describe(texts, check.error);
    case SignatureStatus::Unverifiable: break;
  }
  return u"Não foi possível verificar a assinatura da " + which + u": " + describe(texts, check.error);
}

std::u16string named(const platform::Signer& signer) {
  return signer.commonName + u" (SHA-256 " + signer.sha256 + u")";
}

void checkSigners(const Options& options, const platform::Signer& signer, const Names& names) {
  std::u16string expected;
  for (const auto& wanted : options.signers) {
    if (wanted == signer.sha256 || wanted == signer.commonName) return;
    expected += (expected.empty() ? u"" : u" nem por ") + wanted;
  }
  throw toolError(u"A " + versionBeingActivated(names) + u" foi assinada por " + named(signer) + u", não por " +
                  expected);
}

// The current version vouches for its successor: same publisher (subject)
// under the same issuer, whatever the key.
void checkSameSigner(platform::Platform& p, const platform::Signer& signer, const Names& names) {
  const auto opened = p.files.openToRead(names.pathCurrentBin);
  if (opened.error != platform::kOk) {
    throw toolError(u"A versão atual não pode ser lida para atestar a nova: " + describe(p.texts, opened.error));
  }
  const platform::OwnedFileHandle current(p.files, opened.handle);
  const auto check = p.trust.checkSignature(current.get(), names.pathCurrentBin);
  // Its chain may have lapsed since it was installed; its signature must
  // still be whole.
  if (check.status == SignatureStatus::Unsigned) {
    throw toolError(u"A versão atual não está assinada e não pode atestar a nova");
  }
  if (check.status == SignatureStatus::Tampered || check.status == SignatureStatus::Unverifiable) {
    throw toolError(refusal(p.texts, check, u"versão atual"));
  }
  if (check.signer.subject != signer.subject || check.signer.issuer != signer.issuer) {
    throw toolError(u"A " + versionBeingActivated(names) + u" foi assinada por " + signer.subject + u" (emitido por " + signer.issuer +
                    u"), não pelo editor da versão atual, " + check.signer.subject + u" (emitido por " +
                    check.signer.issuer + u")");
  }
}

}  // namespace

void checkTrust(platform::Platform& p, const Options& options, platform::FileHandle newVersion, const Names& names,
                const std::u16string& sha256) {
  if (!options.sha256.empty()) {
    const auto hash = sha256.empty() ? p.trust.sha256(newVersion) : platform::HashResult{sha256, platform::kOk};
    if (hash.error != platform::kOk) {
      throw toolError(u"Não foi possível calcular o SHA-256 da nova versão: " + describe(p.texts, hash.error));
    }
    if (hash.sha256 != options.sha256) {
      throw toolError(u"A " + versionBeingActivated(names) + u" não é a esperada: SHA-256 " + hash.sha256 +
                      u", esperado " + options.sha256);
    }
  }
  if (!options.requireSignature) return;
  const auto check =
      p.trust.checkSignature(newVersion, names.pathNewBin, options.checkRevocation ? kRevocationTimeoutMs : 0);
  if (const auto why = refusal(p.texts, check, versionBeingActivated(names)); !why.empty()) throw toolError(why);
  if (!options.signers.empty()) checkSigners(options, check.signer, names);
  if (options.sameSigner) checkSameSigner(p, check.signer, names);
}

}  // namespace usqz

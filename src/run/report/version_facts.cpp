#include "run/report/version_facts.h"

#include "checks/file_version.h"
#include "run/before_the_stop.h"

namespace usqz {

std::optional<VersionFacts> versionFactsOf(RunContext& c, const std::u16string& path, const std::u16string& sha256) {
  if (!c.p.files.fileExists(path)) return std::nullopt;
  VersionFacts facts;
  facts.path = path;
  if (const auto identity = c.p.files.fileIdentity(path); identity.error == platform::kOk) {
    facts.size = identity.identity.size;
  }
  facts.sha256 = sha256.empty() ? c.swap.knownSha256Of(path) : sha256;
  if (const auto version = versionOf(c, path, {})) facts.fileVersion = versionText(*version);
  if (c.options.requireSignature) {
    const auto opened = c.p.files.openToRead(path);
    if (opened.error == platform::kOk) {
      const platform::OwnedFileHandle file(c.p.files, opened.handle);
      const auto signature = c.p.trust.checkSignature(file.get(), path);
      if (signature.status == platform::SignatureStatus::Valid) {
        facts.signerSubject = signature.signer.subject;
        facts.signerSha256 = signature.signer.sha256;
      }
    }
  }
  return facts;
}

}  // namespace usqz

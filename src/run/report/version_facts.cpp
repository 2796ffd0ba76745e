#include "run/report/version_facts.h"

#include "checks/file_version.h"
#include "run/before_the_stop.h"

namespace usqz {

std::optional<VersionFacts> versionFactsOf(RunContext& c, const std::u16string& path, const std::u16string& sha256,
                                           platform::FileHandle held) {
  if (!held && !c.p.files.fileExists(path)) return std::nullopt;
  VersionFacts facts;
  facts.path = path;
  if (held) {
    if (const auto head = c.p.files.readHead(held, 0); head.error == platform::kOk) facts.size = head.size;
  } else if (const auto identity = c.p.files.fileIdentity(path); identity.error == platform::kOk) {
    facts.size = identity.identity.size;
  }
  facts.sha256 = sha256.empty() ? c.swap.knownSha256Of(path) : sha256;
  if (const auto version = versionOf(c, path, held)) facts.fileVersion = versionText(*version);
  if (c.options.requireSignature) {
    platform::OwnedFileHandle opened(c.p.files);
    if (!held) {
      const auto open = c.p.files.openToRead(path);
      if (open.error == platform::kOk) opened.reset(open.handle);
      held = open.handle;
    }
    if (held) {
      const auto signature = c.p.trust.checkSignature(held, path);
      if (signature.status == platform::SignatureStatus::Valid) {
        facts.signerSubject = signature.signer.subject;
        facts.signerSha256 = signature.signer.sha256;
      }
    }
  }
  return facts;
}

}  // namespace usqz

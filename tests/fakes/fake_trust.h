// In-memory hashes and signatures for tests: a file's signature is what the
// test says of its contents; its SHA-256 the real one. Fault injection at
// every operation.
#pragma once

#include <map>
#include <vector>
#include <string>

#include "checks/sha256.h"
#include "fake_file_and_process.h"
#include "platform/trust.h"

namespace usqz::platform::fake {

enum class TrustOp { CheckSignature, Sha256 };

class FakeTrust final : public Trust {
 public:
  explicit FakeTrust(FakeFileAndProcess& files) : files_(files) { faults_.setLifeline(&files.lifeline()); }

  // Files with these contents carry this signature; any other is unsigned.
  void sign(const std::string& contents, SignatureCheck check) { signatures_[contents] = std::move(check); }
  // What a revocation check of that signature finds (Revoked,
  // RevocationUnknown); Valid when not said.
  void revoke(const std::string& contents, SignatureStatus status) { revocations_[contents] = status; }
  // The retrieval time each check that asked about revocation was given.
  const std::vector<std::uint32_t>& revocationTimeouts() const { return revocationTimeouts_; }
  FaultPlan<TrustOp>& faults() { return faults_; }
  unsigned calls(TrustOp operation) const { return faults_.calls(operation); }

  // What sha256 says: the contents' real SHA-256, as the tool's own hash
  // of a copy says it too.
  static std::u16string hashOf(const std::string& contents) { return Sha256::of(contents); }

  SignatureCheck checkSignature(FileHandle file, std::u16string_view, std::uint32_t revocationTimeoutMs) override {
    if (const auto error = faults_.onCall(TrustOp::CheckSignature)) return {SignatureStatus::Unverifiable, error, {}};
    const auto bytes = files_.systemReads(file);
    if (!bytes) return {SignatureStatus::Unverifiable, kErrorInvalidHandle, {}};
    const auto it = signatures_.find(*bytes);
    if (it == signatures_.end()) return {SignatureStatus::Unsigned, 0x800B0100, {}};
    auto check = it->second;
    if (revocationTimeoutMs != 0) {
      revocationTimeouts_.push_back(revocationTimeoutMs);
      const auto revoked = revocations_.find(*bytes);
      if (check.status == SignatureStatus::Valid && revoked != revocations_.end()) {
        check.status = revoked->second;
        check.error = revoked->second == SignatureStatus::Revoked ? 0x800B010C : 0x80092013;
      }
    }
    return check;
  }

  HashResult sha256(FileHandle file) override {
    if (const auto error = faults_.onCall(TrustOp::Sha256)) return {{}, error};
    const auto head = files_.readHead(file, std::string::npos);
    if (head.error != kOk) return {{}, head.error};
    return {hashOf(head.bytes), kOk};
  }

 private:
  FakeFileAndProcess& files_;
  FaultPlan<TrustOp> faults_;
  std::map<std::string, SignatureCheck> signatures_;
  std::map<std::string, SignatureStatus> revocations_;
  std::vector<std::uint32_t> revocationTimeouts_;
};

}  // namespace usqz::platform::fake

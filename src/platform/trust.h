// Whether a file is what it claims to be: its SHA-256, and its Authenticode
// signature checked the way a careful updater checks it (the signature
// intact, the chain built to a root this machine trusts without waiting on
// the network, the signer named). Portable header; the Win32 implementation
// loads wintrust.dll and crypt32.dll only when asked, from System32.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "file_and_process.h"

namespace usqz::platform {

enum class SignatureStatus {
  Valid,         // intact, and its chain reaches a trusted root
  Unsigned,      // no signature at all
  Tampered,      // a signature that does not match the file, or is malformed
  Untrusted,     // intact, but the chain reaches no trusted root (self-signed, unknown CA, …)
  Expired,       // the signer's certificate has expired and no timestamp vouches for the signing time
  NotForCode,    // the signer's certificate is not one for signing code (a TLS server's, say)
  Unverifiable,  // the system could not check it at all
  // Only when revocation is asked about:
  Revoked,            // a certificate of the signer's chain is revoked
  RevocationUnknown,  // whether one is could not be learned (offline, no list, too slow)
};

// Who signed: as the signer's certificate names it.
struct Signer {
  std::u16string subject;     // distinguished name
  std::u16string issuer;      // the issuer's distinguished name
  std::u16string commonName;  // the subject's CN
  std::u16string sha256;      // of the certificate, lower-case hex
};

struct SignatureCheck {
  SignatureStatus status = SignatureStatus::Unverifiable;
  OsError error = kOk;  // the system's code behind anything but Valid, when it gave one
  Signer signer;        // when the signature could be read
};

struct HashResult {
  std::u16string sha256;  // lower-case hex
  OsError error = kOk;
};

class Trust {
 public:
  virtual ~Trust() = default;

  // `file` is open for reading and is the file at `path`. With
  // `revocationTimeoutMs`, the signer's chain is also checked for
  // revocation, online, retrieval bounded by that time in all; without it
  // nothing is fetched from the network.
  virtual SignatureCheck checkSignature(FileHandle file, std::u16string_view path,
                                        std::uint32_t revocationTimeoutMs = 0) = 0;
  // The whole file's, read from its start through the handle.
  virtual HashResult sha256(FileHandle file) = 0;
};

}  // namespace usqz::platform

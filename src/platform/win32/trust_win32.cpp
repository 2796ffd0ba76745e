// File hashes and Authenticode signatures on Win32. The hash comes from
// ADVAPI32's CryptoAPI, which the tool imports anyway; wintrust.dll and
// crypt32.dll are loaded by their full System32 path only when a signature
// is asked about, so that the default run imports nothing more.
//
// WinVerifyTrust alone is not enough: some Windows-compatible systems accept
// untrusted and self-signed signers there. The chain is therefore built
// again from the signer's certificate and checked with the Authenticode
// policy, as of the signing time when a timestamp vouches for it.
#include <string_view>
#include <vector>

#include "../native.h"
#include "system_library.h"
#include "windows_api.h"
// After windows.h, which they need; the chain's parameters with the
// retrieval timeout.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::SystemLibrary;

// Codes of WinVerifyTrust and the chain policy the check tells apart.
constexpr DWORD kNoSignature = 0x800B0100;        // TRUST_E_NOSIGNATURE
constexpr DWORD kSubjectFormUnknown = 0x800B0003;  // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr DWORD kProviderUnknown = 0x800B0001;     // TRUST_E_PROVIDER_UNKNOWN
constexpr DWORD kExpired = 0x800B0101;             // CERT_E_EXPIRED
constexpr DWORD kUntrustedRoot = 0x800B0109;       // CERT_E_UNTRUSTEDROOT
constexpr DWORD kChaining = 0x800B010A;            // CERT_E_CHAINING
constexpr DWORD kExplicitDistrust = 0x800B0111;    // TRUST_E_EXPLICIT_DISTRUST
constexpr DWORD kUntrustedTestRoot = 0x800B010D;   // CERT_E_UNTRUSTEDTESTROOT

using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProvDataFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using ProvSignerFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using ProvCertFn = CRYPT_PROVIDER_CERT*(WINAPI*)(CRYPT_PROVIDER_SGNR*, DWORD);
using GetChainFn = BOOL(WINAPI*)(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE, PCERT_CHAIN_PARA, DWORD,
                                 LPVOID, PCCERT_CHAIN_CONTEXT*);
using VerifyPolicyFn = BOOL(WINAPI*)(LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                                     PCERT_CHAIN_POLICY_STATUS);
using FreeChainFn = VOID(WINAPI*)(PCCERT_CHAIN_CONTEXT);
using NameToStrFn = DWORD(WINAPI*)(DWORD, PCERT_NAME_BLOB, DWORD, LPWSTR, DWORD);
using GetNameStringFn = DWORD(WINAPI*)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD);
using HashCertificate2Fn = BOOL(WINAPI*)(LPCWSTR, DWORD, void*, const BYTE*, DWORD, BYTE*, DWORD*);
using GetUsageFn = BOOL(WINAPI*)(PCCERT_CONTEXT, DWORD, PCERT_ENHKEY_USAGE, DWORD*);

// Whether the certificate itself says it is for signing code: one for TLS
// servers, or one that names no usage, is not.
bool forSigningCode(PCCERT_CONTEXT cert, GetUsageFn getUsage) {
  DWORD size = 0;
  if (!getUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0) return false;
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
  if (!getUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) return false;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::string_view(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_CODE_SIGNING) return true;
  }
  return false;
}

std::u16string hex(const BYTE* bytes, DWORD size) {
  std::u16string text;
  for (DWORD i = 0; i < size; ++i) {
    text += u"0123456789abcdef"[bytes[i] >> 4];
    text += u"0123456789abcdef"[bytes[i] & 0xF];
  }
  return text;
}

SignatureStatus statusOf(DWORD code) {
  switch (code) {
    case 0: return SignatureStatus::Valid;
    case kNoSignature:
    case kSubjectFormUnknown:
    case kProviderUnknown: return SignatureStatus::Unsigned;
    case kExpired: return SignatureStatus::Expired;
    case kUntrustedRoot:
    case kChaining:
    case kExplicitDistrust:
    case kUntrustedTestRoot: return SignatureStatus::Untrusted;
    default: return SignatureStatus::Tampered;
  }
}

class Win32Trust final : public Trust {
 public:
  SignatureCheck checkSignature(FileHandle file, std::u16string_view path, std::uint32_t revocationTimeoutMs) override {
    SystemLibrary wintrust(L"wintrust.dll");
    SystemLibrary crypt32(L"crypt32.dll");
    const auto verify = wintrust.find<WinVerifyTrustFn>("WinVerifyTrust");
    const auto provData = wintrust.find<ProvDataFn>("WTHelperProvDataFromStateData");
    const auto provSigner = wintrust.find<ProvSignerFn>("WTHelperGetProvSignerFromChain");
    const auto provCert = wintrust.find<ProvCertFn>("WTHelperGetProvCertFromChain");
    const auto getChain = crypt32.find<GetChainFn>("CertGetCertificateChain");
    const auto verifyPolicy = crypt32.find<VerifyPolicyFn>("CertVerifyCertificateChainPolicy");
    const auto freeChain = crypt32.find<FreeChainFn>("CertFreeCertificateChain");
    const auto nameToStr = crypt32.find<NameToStrFn>("CertNameToStrW");
    const auto nameString = crypt32.find<GetNameStringFn>("CertGetNameStringW");
    const auto hashCertificate = crypt32.find<HashCertificate2Fn>("CryptHashCertificate2");
    const auto getUsage = crypt32.find<GetUsageFn>("CertGetEnhancedKeyUsage");
    SignatureCheck check;
    if (!verify || !provData || !provSigner || !provCert || !getChain || !verifyPolicy || !freeChain || !nameToStr ||
        !nameString || !hashCertificate || !getUsage) {
      check.error = wintrust.error() != 0 ? wintrust.error() : crypt32.error();
      return check;
    }

    const std::u16string pathZ(path);
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = reinterpret_cast<const wchar_t*>(pathZ.c_str());
    fileInfo.hFile = reinterpret_cast<HANDLE>(file.value());
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // No revocation check and nothing fetched from the network: a machine
    // without one must not hang here.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const auto verified = static_cast<DWORD>(verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
    check.status = statusOf(verified);
    check.error = verified;

    if (check.status != SignatureStatus::Unsigned && data.hWVTStateData != nullptr) {
      CRYPT_PROVIDER_DATA* provider = provData(data.hWVTStateData);
      CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? provSigner(provider, 0, FALSE, 0) : nullptr;
      CRYPT_PROVIDER_CERT* signerCert = signer != nullptr ? provCert(signer, 0) : nullptr;
      PCCERT_CONTEXT cert = signerCert != nullptr ? signerCert->pCert : nullptr;
      if (cert != nullptr) {
        check.signer = describe(cert, nameToStr, nameString, hashCertificate);
        if (check.status == SignatureStatus::Valid) {
          // As of the signing time when a timestamp says when that was.
          FILETIME* asOf = signer->csCounterSigners > 0 ? &signer->sftVerifyAsOf : nullptr;
          HCERTSTORE extra = provider->chStores > 0 ? provider->pahStores[0] : nullptr;
          // Built for signing code: a chain that allows no such usage
          // fails, and the signer's own certificate must name it.
          LPSTR codeSigning = const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING);
          CERT_CHAIN_PARA chainPara{};
          chainPara.cbSize = sizeof chainPara;
          chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
          chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
          chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &codeSigning;
          // Revocation, when asked: online, every certificate but the
          // root, retrieval bounded by the tool's time in all.
          DWORD chainFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
          if (revocationTimeoutMs != 0) {
            chainFlags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
            chainPara.dwUrlRetrievalTimeout = revocationTimeoutMs;
          }
          PCCERT_CHAIN_CONTEXT chain = nullptr;
          if (!getChain(nullptr, cert, asOf, extra, &chainPara, chainFlags, nullptr, &chain)) {
            check.error = GetLastError();
            check.status = SignatureStatus::Untrusted;
          } else if (!forSigningCode(cert, getUsage) ||
                     (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0) {
            freeChain(chain);
            check.error = static_cast<DWORD>(CERT_E_WRONG_USAGE);
            check.status = SignatureStatus::NotForCode;
          } else if (revocationTimeoutMs != 0 && (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) != 0) {
            freeChain(chain);
            check.error = static_cast<DWORD>(CERT_E_REVOKED);
            check.status = SignatureStatus::Revoked;
          } else if (revocationTimeoutMs != 0 &&
                     (chain->TrustStatus.dwErrorStatus &
                      (CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) != 0) {
            // Fails closed: a status that cannot be learned is no answer.
            const bool offline = (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_OFFLINE_REVOCATION) != 0;
            freeChain(chain);
            check.error = static_cast<DWORD>(offline ? CRYPT_E_REVOCATION_OFFLINE : CERT_E_REVOCATION_FAILURE);
            check.status = SignatureStatus::RevocationUnknown;
          } else {
            CERT_CHAIN_POLICY_PARA policyPara{};
            policyPara.cbSize = sizeof policyPara;
            CERT_CHAIN_POLICY_STATUS policyStatus{};
            policyStatus.cbSize = sizeof policyStatus;
            if (!verifyPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policyPara, &policyStatus)) {
              policyStatus.dwError = GetLastError();
            }
            freeChain(chain);
            if (policyStatus.dwError != 0) {
              check.error = policyStatus.dwError;
              check.status = policyStatus.dwError == kExpired ? SignatureStatus::Expired : SignatureStatus::Untrusted;
            }
          }
        }
      } else if (check.status == SignatureStatus::Valid) {
        check.status = SignatureStatus::Tampered;  // verified, yet no signer to name
      }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return check;
  }

  HashResult sha256(FileHandle file) override {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
      return {{}, GetLastError()};
    }
    HashResult result;
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
      result.error = GetLastError();
    } else {
      const auto handle = reinterpret_cast<HANDLE>(file.value());
      const LARGE_INTEGER start{};
      if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) result.error = GetLastError();
      std::vector<BYTE> buffer(64 * 1024);
      while (result.error == 0) {
        DWORD read = 0;
        if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
          result.error = GetLastError();
        } else if (read == 0) {
          break;
        } else if (!CryptHashData(hash, buffer.data(), read, 0)) {
          result.error = GetLastError();
        }
      }
      BYTE digest[32];
      DWORD size = sizeof digest;
      if (result.error == 0) {
        if (CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
          result.sha256 = hex(digest, size);
        } else {
          result.error = GetLastError();
        }
      }
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return result;
  }

 private:
  static Signer describe(PCCERT_CONTEXT cert, NameToStrFn nameToStr, GetNameStringFn nameString,
                         HashCertificate2Fn hashCertificate) {
    const auto distinguished = [&](CERT_NAME_BLOB* name) {
      constexpr DWORD kType = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
      const DWORD needed = nameToStr(X509_ASN_ENCODING, name, kType, nullptr, 0);
      std::wstring text(needed, L'\0');
      const DWORD got = nameToStr(X509_ASN_ENCODING, name, kType, text.data(), needed);
      return got > 1 ? fromWide(text.data(), got - 1) : std::u16string();
    };
    Signer signer;
    signer.subject = distinguished(&cert->pCertInfo->Subject);
    signer.issuer = distinguished(&cert->pCertInfo->Issuer);
    void* commonName = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD needed = nameString(cert, CERT_NAME_ATTR_TYPE, 0, commonName, nullptr, 0);
    std::wstring name(needed, L'\0');
    const DWORD got = nameString(cert, CERT_NAME_ATTR_TYPE, 0, commonName, name.data(), needed);
    if (got > 1) signer.commonName = fromWide(name.data(), got - 1);
    // CERT_SHA256_HASH_PROP_ID is not everywhere right: the certificate's
    // own bytes are hashed.
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (hashCertificate(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded, digest, &size)) {
      signer.sha256 = hex(digest, size);
    }
    return signer;
  }
};

}  // namespace

std::unique_ptr<Trust> makeNativeTrust() { return std::make_unique<Win32Trust>(); }

}  // namespace usqz::platform

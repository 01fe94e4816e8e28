#include "package/signature.h"

// <wincrypt.h> before <msi.h>: the signer query hands back a certificate context.
#include <msi.h>
#include <psapi.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <new>

#include "common/handle.h"
#include "common/last_error.h"

namespace qfu::package {
namespace {

// Query information and read memory: enough to read the process's main module path.
constexpr DWORD kPeerProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

struct CertContextTraits {
  using Type = PCCERT_CONTEXT;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type context) noexcept { ::CertFreeCertificateContext(context); }
};
using UniqueCertContext = UniqueAny<CertContextTraits>;

// Releases the state that a verdict call leaves in the trust data, with the closing call, on
// every path out of the scope that made the verdict.
class TrustStateCloser {
 public:
  TrustStateCloser(GUID& action, WINTRUST_DATA& data) noexcept : action_(action), data_(data) {}
  TrustStateCloser(const TrustStateCloser&) = delete;
  TrustStateCloser& operator=(const TrustStateCloser&) = delete;
  ~TrustStateCloser() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    // Nothing to do about a failed close; the verdict stands.
    (void)::WinVerifyTrust(nullptr, &action_, &data_);
  }

 private:
  GUID& action_;
  WINTRUST_DATA& data_;
};

// Windows' verdict on the file's Authenticode signature.
[[nodiscard]] HRESULT TrustVerdict(const wchar_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  file.hFile = nullptr;
  file.pgKnownSubject = nullptr;

  // mingw's WINTRUST_DATA ends before pSignatureSettings (a later addition); cbStruct covers
  // only what is declared, so WinVerifyTrust treats the signature settings as absent.
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.pPolicyCallbackData = nullptr;
  data.pSIPClientData = nullptr;
  data.dwUIChoice = WTD_UI_NONE;  // runs in a service: nobody to ask
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.hWVTStateData = nullptr;
  data.pwszURLReference = nullptr;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN;
  data.dwUIContext = WTD_UICONTEXT_INSTALL;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  TrustStateCloser closer(action, data);
  // INVALID_HANDLE_VALUE as the window: no interactive user may be involved.
  return ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

// Whether the signer certificate of the (already trusted) file names a publisher.
[[nodiscard]] HRESULT CheckSignerPublisher(const wchar_t* path) {
  UniqueCertContext signer;
  // MSI_INVALID_HASH_IS_FATAL: a signature whose hash does not match yields no certificate.
  const HRESULT query =
      ::MsiGetFileSignatureInformationW(path, MSI_INVALID_HASH_IS_FATAL, signer.put(), nullptr, nullptr);
  if (query != S_OK) return query;
  if (!signer || signer.get()->pCertInfo == nullptr) return TRUST_E_SUBJECT_NOT_TRUSTED;

  CERT_NAME_BLOB* subject = &signer.get()->pCertInfo->Subject;
  // The length counts UTF-16 units with the terminating zero; 1 is an empty subject.
  const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_SIMPLE_NAME_STR, nullptr, 0);
  if (length <= 1) return TRUST_E_SUBJECT_NOT_TRUSTED;
  std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[length]);
  if (!text) return TRUST_E_SUBJECT_NOT_TRUSTED;
  text[0] = L'\0';
  (void)::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_SIMPLE_NAME_STR, text.get(), length);
  // Make sure of the terminator whatever the second call wrote.
  text[length - 1] = L'\0';
  return SubjectNamesPublisher(text.get()) ? S_OK : TRUST_E_SUBJECT_NOT_TRUSTED;
}

}  // namespace

bool SubjectNamesPublisher(const wchar_t* subject) {
  if (subject == nullptr) return false;
  for (const wchar_t* name : kPublisherNames) {
    // StrStrW compares with exact case: "quillfern software" is not the publisher.
    if (::StrStrW(subject, name) != nullptr) return true;
  }
  return false;
}

HRESULT VerifyPublisherSignature(const wchar_t* path, bool skip_publisher_check) {
  if (path == nullptr) return E_INVALIDARG;  // fail closed rather than hand Windows no file
  const HRESULT verdict = TrustVerdict(path);
  if (verdict != S_OK) return verdict;
  if (skip_publisher_check) return S_OK;
  return CheckSignerPublisher(path);
}

DWORD VerifyProcessPublisher(DWORD process_id) {
  wchar_t image_path[MAX_PATH] = {};
  {
    // The error is taken before the process handle is closed.
    UniqueHandle process(::OpenProcess(kPeerProcessAccess, FALSE, process_id));
    if (!process || ::K32GetModuleFileNameExW(process.get(), nullptr, image_path, MAX_PATH) == 0) {
      return LastError();
    }
  }
  // The verification's own calls leave no useful last error behind: its verdict is the answer.
  return static_cast<DWORD>(VerifyPublisherSignature(image_path, false));
}

HRESULT SystemSignatureVerifier::Verify(const wchar_t* path, bool skip_publisher_check) const {
  return VerifyPublisherSignature(path, skip_publisher_check);
}

}  // namespace qfu::package

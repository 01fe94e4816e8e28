#pragma once
// Trust for a test's throwaway certificate authority: the machine's root store, which is
// where WinHTTP's server certificate check looks (under Wine, the prefix's registry).
#include <windows.h>

#include <wincrypt.h>

#include <string>

#include "common/handle.h"

namespace qfu::test {

struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type store) noexcept { ::CertCloseStore(store, 0); }
};
struct CertContextTraits {
  using Type = PCCERT_CONTEXT;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type context) noexcept { ::CertFreeCertificateContext(context); }
};

// Adds the PEM certificate at pem_path to HKEY_LOCAL_MACHINE's "Root" store for as long as
// the object lives, and deletes it from there when it goes. Each change is committed at once:
// Wine writes a registry store's changes back only on a commit or the store's last close.
class TrustedRootCertificate {
 public:
  explicit TrustedRootCertificate(const std::wstring& pem_path);
  TrustedRootCertificate(const TrustedRootCertificate&) = delete;
  TrustedRootCertificate& operator=(const TrustedRootCertificate&) = delete;
  ~TrustedRootCertificate();

  // 0 when the certificate is in the store, else the Win32 error of the step that failed.
  [[nodiscard]] DWORD error() const { return error_; }

 private:
  UniqueAny<CertContextTraits> certificate_;  // what was added, outside any store
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace qfu::test

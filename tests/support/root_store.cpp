#include "support/root_store.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace qfu::test {
namespace {

HCERTSTORE OpenMachineRoot() {
  return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
}

}  // namespace

TrustedRootCertificate::TrustedRootCertificate(const std::wstring& pem_path) {
  std::ifstream file(std::filesystem::path(pem_path), std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  DWORD der_size = 0;
  if (pem.empty() ||
      !::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &der_size, nullptr, nullptr)) {
    error_ = pem.empty() ? ERROR_FILE_NOT_FOUND : ::GetLastError();
    return;
  }
  std::vector<BYTE> der(der_size);
  if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &der_size, nullptr, nullptr)) {
    error_ = ::GetLastError();
    return;
  }
  // Kept to find the stored copy again when the object goes.
  certificate_.reset(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), der_size));
  if (!certificate_) {
    error_ = ::GetLastError();
    return;
  }
  const UniqueAny<CertStoreTraits> root(OpenMachineRoot());
  if (!root ||
      !::CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(), der_size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr) ||
      !::CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
    error_ = ::GetLastError();
    certificate_.reset();
  }
}

TrustedRootCertificate::~TrustedRootCertificate() {
  if (!certificate_) return;
  const UniqueAny<CertStoreTraits> root(OpenMachineRoot());
  if (!root) return;
  // The delete call frees the context it is given: the one the store found.
  PCCERT_CONTEXT stored = ::CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                       certificate_.get(), nullptr);
  if (stored != nullptr && ::CertDeleteCertificateFromStore(stored)) {
    (void)::CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }
}

}  // namespace qfu::test

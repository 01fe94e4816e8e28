#pragma once
// The publisher signature check: a file is trusted when Windows accepts its Authenticode
// signature and the signer certificate's subject names one of the product's publishers.
// This is the one place where that rule lives; the queue worker (downloaded packages), the
// request pipe's caller check (client executables) and the UI pipe's server check (the UI
// process) all use it unchanged.
#include <windows.h>

namespace qfu::package {

// Publisher names, in the order they are tried; a subject must contain one with exact case.
inline constexpr const wchar_t* kPublisherNames[] = {L"Quillfern Software", L"Tessaran Software Corp"};

// Returns 0 when the file at path (zero-terminated) carries a valid signature and either its
// signer names a publisher or skip_publisher_check is true. Otherwise: WinVerifyTrust's failure
// code unchanged (0x800B0100 for an unsigned file), the failure of the signer query, or
// 0x800B0004 when the signer is missing, its subject cannot be read, or it names no publisher.
// Keeps no state; any number of threads may call it at once.
[[nodiscard]] HRESULT VerifyPublisherSignature(const wchar_t* path, bool skip_publisher_check);

// Checks the program that runs as process process_id (the other end of a pipe) the same way:
// returns 0 when its executable passes VerifyPublisherSignature with the publisher check.
// Otherwise the Win32 error of opening the process or reading its image path, or the
// signature check's verdict as a DWORD (0x800B0100 for an unsigned program).
[[nodiscard]] DWORD VerifyProcessPublisher(DWORD process_id);

// Returns true when subject (a certificate subject as simple-name text) contains one of
// kPublisherNames, with exact case.
[[nodiscard]] bool SubjectNamesPublisher(const wchar_t* subject);

// The signature check as a port, for code whose tests must decide the verdict themselves.
class SignatureVerifier {
 public:
  virtual ~SignatureVerifier() = default;
  // Same arguments and results as VerifyPublisherSignature; safe to call from several threads.
  [[nodiscard]] virtual HRESULT Verify(const wchar_t* path, bool skip_publisher_check) const = 0;
};

// The production port: calls VerifyPublisherSignature.
class SystemSignatureVerifier final : public SignatureVerifier {
 public:
  [[nodiscard]] HRESULT Verify(const wchar_t* path, bool skip_publisher_check) const override;
};

}  // namespace qfu::package

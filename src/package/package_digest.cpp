#include "package/package_digest.h"

#include <bcrypt.h>

#include <memory>
#include <new>

#include "common/handle.h"
#include "common/last_error.h"

namespace qfu::package {
namespace {

struct AlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::BCryptDestroyHash(h); }
};
using UniqueAlgorithm = UniqueAny<AlgorithmTraits>;
using UniqueHash = UniqueAny<HashTraits>;

// Bytes read per call: a package is read in pieces of this size, never held whole.
constexpr DWORD kReadChunkBytes = 64 * 1024;

bool Failed(NTSTATUS status) { return status < 0; }

}  // namespace

DWORD HashOpenFile(HANDLE held, wire::Sha256Digest& digest) {
  UniqueAlgorithm algorithm;
  if (const NTSTATUS status =
          ::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
      Failed(status)) {
    return static_cast<DWORD>(status);
  }
  // No object buffer: CNG allocates and frees the hash object itself.
  UniqueHash hash;
  if (const NTSTATUS status = ::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
      Failed(status)) {
    return static_cast<DWORD>(status);
  }
  const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kReadChunkBytes]);
  if (!chunk) return ERROR_OUTOFMEMORY;
  // Each read names its offset, so the file pointer of the held handle does not matter.
  ULONGLONG offset = 0;
  for (;;) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!::ReadFile(held, chunk.get(), kReadChunkBytes, &read, &at)) {
      const DWORD error = LastError();
      if (error == ERROR_HANDLE_EOF) break;
      return error;
    }
    if (read == 0) break;
    if (const NTSTATUS status = ::BCryptHashData(hash.get(), chunk.get(), read, 0); Failed(status)) {
      return static_cast<DWORD>(status);
    }
    offset += read;
  }
  if (const NTSTATUS status =
          ::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
      Failed(status)) {
    return static_cast<DWORD>(status);
  }
  return ERROR_SUCCESS;
}

}  // namespace qfu::package

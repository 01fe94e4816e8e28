#pragma once
// The version of the product already on the machine, by the request's product kind: the
// current client reports it through its API library, the legacy client keeps it in its
// setup key; and the comparison with the version a request asks for.
#include <windows.h>

#include <cstddef>

#include "store/version.h"
#include "wire/message.h"
#include "worker/client_api.h"

namespace qfu::worker {

// The legacy client's setup key under HKEY_LOCAL_MACHINE and its version value.
inline constexpr const wchar_t* kLegacySetupKeyPath = L"SOFTWARE\\Quillfern Wireless Brindle Client\\Setup";
inline constexpr const wchar_t* kProductVersionValue = L"ProductVersion";
// The legacy version is read into 36 bytes; the installed version text holds 36 units.
inline constexpr DWORD kLegacyVersionBytes = 36;
inline constexpr std::size_t kInstalledVersionChars = 36;

// Reads "ProductVersion" from HKLM\key_path into buffer (size in bytes), from the 32-bit
// registry view or, only when the key cannot be opened there, the 64-bit view. Returns true
// when a value was read that fits the buffer with its terminator; the text is then
// NUL-terminated inside the buffer. On false the buffer holds the empty text (given room for
// one unit).
[[nodiscard]] bool ReadLegacyProductVersion(wchar_t* buffer, DWORD size_bytes,
                                            const wchar_t* key_path = kLegacySetupKeyPath);

// Compares the message's SoftwareVersion with the installed version of its product kind:
// kind 1 asks client_api, kind 2 reads the legacy setup key at legacy_key_path (under
// HKEY_LOCAL_MACHINE), any other kind has none. Returns the verdict (0 to 4).
[[nodiscard]] store::InstalledVersionResult CompareInstalledVersion(
    const wire::RequestMessage& message, worker::ClientApi& client_api,
    const wchar_t* legacy_key_path = kLegacySetupKeyPath);

}  // namespace qfu::worker

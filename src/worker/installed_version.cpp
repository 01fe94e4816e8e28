#include "worker/installed_version.h"

#include <cwchar>

#include "common/utf.h"
#include "store/registry_value.h"

namespace qfu::worker {

bool ReadLegacyProductVersion(wchar_t* buffer, DWORD size_bytes, const wchar_t* key_path) {
  const std::size_t units = size_bytes / sizeof(wchar_t);
  if (buffer == nullptr || units == 0) return false;
  const auto whole_units = static_cast<DWORD>(units * sizeof(wchar_t));
  // The 32-bit view is where the legacy (32-bit) installer wrote its key.
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    std::wmemset(buffer, L'\0', units);
    // RRF_RT_ANY lets a value of another type (binary, a string stored without its NUL)
    // arrive unterminated; such a value counts only when a NUL lies inside the buffer, so
    // the text never runs past it. A value too long for the buffer fails the read itself.
    if (store::ReadRegistryValue(HKEY_LOCAL_MACHINE, key_path, kProductVersionValue, buffer, whole_units, view) &&
        std::wmemchr(buffer, L'\0', units) != nullptr) {
      return true;
    }
  }
  buffer[0] = L'\0';
  return false;
}

store::InstalledVersionResult CompareInstalledVersion(const wire::RequestMessage& message, worker::ClientApi& client_api,
                                               const wchar_t* legacy_key_path) {
  const WideString requested = Utf8ToWide(message.software_version());
  // Every way of not finding the installed version leaves this empty.
  wchar_t installed[kInstalledVersionChars] = {};
  switch (message.product_kind()) {
    case wire::product_kind::kCurrentClient:
      if (!client_api.InstalledVersion(installed)) installed[0] = L'\0';
      break;
    case wire::product_kind::kLegacyClient:
      (void)ReadLegacyProductVersion(installed, kLegacyVersionBytes, legacy_key_path);
      break;
    default:
      break;
  }
  // Bounded by the buffer, whatever the port wrote into it.
  const WideStringView installed_text(installed, ::wcsnlen(installed, kInstalledVersionChars));
  return store::CompareVersionTexts(requested, installed_text);
}

}  // namespace qfu::worker

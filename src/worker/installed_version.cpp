#include "worker/installed_version.h"

#include <cwchar>

#include "common/utf.h"
#include "store/registry_value.h"

namespace qfu::worker {

bool ReadLegacyProductVersion(wchar_t* buffer, DWORD size_bytes, const wchar_t* key_path) {
  const std::size_t units = size_bytes / sizeof(wchar_t);
  if (buffer == nullptr || units == 0) return false;
  // The 32-bit view is where the legacy (32-bit) installer wrote its key; the 64-bit view is
  // asked only when that key is not there at all. A key in the 32-bit view is the legacy
  // client's, and a value it holds that cannot be used means no known version.
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    const store::RegistryRead read = store::ReadRegistryValue(HKEY_LOCAL_MACHINE, key_path,
                                                              kProductVersionValue, buffer, size_bytes, view);
    if (read == store::RegistryRead::kText) return true;
    if (read == store::RegistryRead::kValueNotUsable) break;
  }
  buffer[0] = L'\0';
  return false;
}

store::InstalledVersionResult CompareInstalledVersion(const wire::RequestMessage& message,
                                                      worker::ClientApi& client_api,
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

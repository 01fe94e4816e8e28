#include "support/legacy_setup_key.h"

#include "worker/installed_version.h"

namespace qfu::test {

void MakeLegacySetupKey(std::optional<ScratchKey>& key, const std::wstring& name, REGSAM view,
                        const ViewHolds& holds) {
  key.emplace(name, view);
  if (holds.what == ViewHolds::kNoKey) key.reset();
  if (holds.what == ViewHolds::kText) key->SetString(worker::kProductVersionValue, holds.text);
}

}  // namespace qfu::test

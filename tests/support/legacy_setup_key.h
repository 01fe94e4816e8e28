#pragma once
// The legacy client's setup key as a test lays it out in one registry view: missing, there
// without a version, or with a version text.
#include <windows.h>

#include <optional>
#include <string>

#include "support/scratch_key.h"

namespace qfu::test {

// What one registry view holds at the legacy setup key's path.
struct ViewHolds {
  enum { kNoKey, kKeyOnly, kText } what = kNoKey;
  const wchar_t* text = L"";
};

// Makes in key (a scratch key named name, in that view) what the view holds; the key goes
// with it. A key left over from an earlier run is removed in every case.
void MakeLegacySetupKey(std::optional<ScratchKey>& key, const std::wstring& name, REGSAM view,
                        const ViewHolds& holds);

}  // namespace qfu::test

#pragma once
// The module the prompt texts (strings 100-104) are loaded from: a translated resource DLL for
// the configured or the default language, when one is found and carries the program's product
// version, or else the program itself with its English texts.
//
// The language is "Language" under HKEY_LOCAL_MACHINE\<language key> (64-bit view), else the
// user's default locale name, else the system's. The DLL <program name>.resources.dll lies in a
// folder named after the language, beside the program or under "LastInstallLocation" of
// HKEY_LOCAL_MACHINE\<setup key> (32-bit view, else 64-bit view); the full language name is
// tried first in both places, then its part before the first hyphen.
#include <windows.h>

#include <optional>
#include <string>

#include "common/handle.h"
#include "store/agent_config.h"

namespace qfu::locale {

// The product's key under HKEY_LOCAL_MACHINE, which may name the language of the prompt texts
// ("Language", 64-bit view), and its setup key, which names where the product was installed
// ("LastInstallLocation"), where translated resource DLLs may lie (both read only).
inline constexpr const wchar_t* kProductKeyPath = L"SOFTWARE\\Quillfern";
inline constexpr const wchar_t* kProductSetupKeyPath = L"SOFTWARE\\Quillfern\\Setup";

// Language names fit 85 units with their terminator (LOCALE_NAME_MAX_LENGTH).
inline constexpr std::size_t kLanguageNameUnits = 85;

// Where the language choice reads the registry, under HKEY_LOCAL_MACHINE.
struct LanguageKeys {
  const wchar_t* language_key_path;  // holds "Language"
  const wchar_t* setup_key_path;     // holds "LastInstallLocation"
};

struct ResourceSelection {
  UniqueModule dll;       // the resource DLL, loaded as a data file; empty: the program's own texts
  std::wstring language;  // the language name, cut at its hyphen when the full name found no file
};

// Returns "Language" when it holds a non-empty text, else the user's default locale name, else
// the system's; empty when none can be read.
[[nodiscard]] std::wstring ChooseLanguage(const wchar_t* language_key_path);

// Returns the path of the resource DLL for the program at program_path in the language's
// folder, beside the program or under the install location; nothing when no file is there.
[[nodiscard]] std::optional<std::wstring> FindResourceFile(const wchar_t* program_path,
                                                           const wchar_t* setup_key_path,
                                                           const std::wstring& language);

// Returns the product version of the file's version resource (most significant word first); 0
// when it has none or it cannot be read.
[[nodiscard]] ULONGLONG ReadProductVersion(const wchar_t* path);

// Chooses the language and loads the matching resource DLL for the program at program_path
// (a full path).
[[nodiscard]] ResourceSelection SelectResourceDll(const wchar_t* program_path, const LanguageKeys& keys);

// Sets config.resource_module (and loaded_resource_module, language_name) for the program's
// own module own_module, from the product's keys. Every failure leaves own_module.
void SelectResourceModule(AgentConfig& config, HMODULE own_module);

}  // namespace qfu::locale

#include "locale/resource_module.h"

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"
#include "support/locale_bench.h"
#include "support/process.h"

namespace qfu::locale {
namespace {

// Where the DLL's language folder lies: beside the program, or under "LastInstallLocation"
// written in the 32-bit view without a trailing backslash, or only in the 64-bit view with one.
enum class Place { kBeside, kInstalled32, kInstalled64 };

// The language comes from "Language" (its part before the hyphen when only that folder
// exists), else from the user's locale; a DLL whose product version is not the program's is
// never used.
TEST(SelectResourceDll, ChoosesTheLanguageAndUsesOnlyADllOfTheProgramsVersion) {
  wchar_t default_language[kLanguageNameUnits] = {};
  ASSERT_GT(::GetUserDefaultLocaleName(default_language, static_cast<int>(kLanguageNameUnits)), 0);
  const struct {
    const wchar_t* dll = L"de\\qfupdate.resources.dll";  // built, or a fixture of another version
    Place place = Place::kBeside;
    const wchar_t* folder = L"de";             // the DLL's language folder
    const wchar_t* language_value = L"de-DE";  // "Language"; nullptr: missing
    bool accepted = true;
  } rows[] = {
      {},
      {.place = Place::kInstalled32, .folder = L"de-DE"},
      {.place = Place::kInstalled64},
      {.dll = L"resource_dll_other_minor.dll", .accepted = false},
      {.dll = L"resource_dll_unversioned.dll", .accepted = false},
      {.folder = default_language, .language_value = nullptr},
  };
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(index);
    test::LocaleBench bench(L"Locale" + std::to_wstring(index++));
    const std::wstring program = bench.PlaceProgram(test::BuiltProgram(L"qfupdate.exe"), L"qfupdate.exe");
    const bool built = std::wstring(row.dll).starts_with(L"de\\");
    if (row.place == Place::kInstalled32) bench.SetInstallLocation(KEY_WOW64_32KEY, bench.install_folder());
    if (row.place == Place::kInstalled64)
      bench.SetInstallLocation(KEY_WOW64_64KEY, bench.install_folder() + L"\\");
    ASSERT_TRUE(bench.PlaceFile(built ? test::BuiltProgram(row.dll) : test::Fixture(row.dll),
                                row.place == Place::kBeside ? bench.program_folder() : bench.install_folder(),
                                row.folder, L"qfupdate.resources.dll"));
    bench.SetLanguage(row.language_value);
    const ResourceSelection selection = SelectResourceDll(program.c_str(), bench.keys());
    EXPECT_EQ(selection.language, row.language_value != nullptr ? row.folder : default_language);
    ASSERT_EQ(static_cast<bool>(selection.dll), row.accepted);
    if (!row.accepted) continue;
    EXPECT_NE(test::LoadText(selection.dll.get(), 101).find(L"Klicken Sie auf \u201EJa\u201C"),
              std::wstring::npos);
  }
}

}  // namespace
}  // namespace qfu::locale

#include "locale/resource_module.h"

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"
#include "support/locale_bench.h"
#include "support/process.h"

namespace qfu::locale {
namespace {

enum class Program { kAgent, kUnversioned };  // qfupdate.exe; a program without a version resource
enum class Dll { kGerman, kUnversioned, kOtherMinor, kOtherTweak };
// Where the DLL's language folder lies: beside the program, or under "LastInstallLocation"
// written in the 32-bit view without a trailing backslash, or only in the 64-bit view with one.
enum class Place { kBeside, kInstalled32, kInstalled64 };

constexpr const wchar_t* kGermanInstallText = L"Klicken Sie auf \u201EJa\u201C, um sie jetzt zu installieren";
constexpr const wchar_t* kFixtureText = L"Resource DLL fixture";
constexpr UINT kInstallPromptId = 101;

std::wstring UserDefaultLocaleName() {
  wchar_t name[kLanguageNameUnits] = {};
  EXPECT_GT(::GetUserDefaultLocaleName(name, static_cast<int>(kLanguageNameUnits)), 0);
  return name;
}

TEST(SelectResourceDll, ChoosesTheLanguageAndUsesOnlyADllOfTheProgramsVersion) {
  const struct {
    const char* name;
    Program program;
    Dll dll;
    Place place;
    const wchar_t* folder;          // the DLL's language folder; nullptr: the user's default locale name
    const wchar_t* language_value;  // "Language"; nullptr: missing
    bool decoy_directory;           // a folder named like the DLL under the program's de-DE folder
    bool accepted;
    const wchar_t* language;  // the language chosen; nullptr: the user's default locale name
  } cases[] = {
      {"only a de folder beside the program", Program::kAgent, Dll::kGerman, Place::kBeside, L"de", L"de-DE",
       false, true, L"de"},
      {"full name under the install location, 32-bit view, no trailing backslash", Program::kAgent,
       Dll::kGerman, Place::kInstalled32, L"de-DE", L"de-DE", false, true, L"de-DE"},
      {"de under the install location of the 64-bit view", Program::kAgent, Dll::kGerman, Place::kInstalled64,
       L"de", L"de-DE", false, true, L"de"},
      {"a folder where the full name's DLL would be", Program::kAgent, Dll::kGerman, Place::kBeside, L"de",
       L"de-DE", true, true, L"de"},
      {"product version differs in the first word", Program::kAgent, Dll::kOtherMinor, Place::kBeside, L"de",
       L"de-DE", false, false, L"de"},
      {"product version differs in the second word", Program::kAgent, Dll::kOtherTweak, Place::kBeside, L"de",
       L"de-DE", false, false, L"de"},
      {"no version resource on either", Program::kUnversioned, Dll::kUnversioned, Place::kBeside, L"de",
       L"de-DE", false, true, L"de"},
      {"a DLL without version for a versioned program", Program::kAgent, Dll::kUnversioned, Place::kBeside,
       L"de", L"de-DE", false, false, L"de"},
      {"no Language value", Program::kAgent, Dll::kGerman, Place::kBeside, nullptr, nullptr, false, true,
       nullptr},
      {"an empty Language value", Program::kAgent, Dll::kGerman, Place::kBeside, nullptr, L"", false, true,
       nullptr},
  };
  const std::wstring default_language = UserDefaultLocaleName();
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::LocaleBench bench(L"Locale" + std::to_wstring(index++));
    const bool agent = c.program == Program::kAgent;
    const std::wstring program =
        agent ? bench.PlaceProgram(test::BuiltProgram(L"qfupdate.exe"), L"qfupdate.exe")
              : bench.PlaceProgram(test::Fixture(L"unsigned.exe"), L"probe.exe");
    const wchar_t* dll_name = agent ? L"qfupdate.resources.dll" : L"probe.resources.dll";
    const std::wstring dll = c.dll == Dll::kGerman        ? test::BuiltProgram(L"de\\qfupdate.resources.dll")
                             : c.dll == Dll::kUnversioned ? test::Fixture(L"resource_dll_unversioned.dll")
                             : c.dll == Dll::kOtherMinor  ? test::Fixture(L"resource_dll_other_minor.dll")
                                                          : test::Fixture(L"resource_dll_other_tweak.dll");
    const std::wstring folder = c.folder != nullptr ? c.folder : default_language;
    if (c.place == Place::kInstalled32) bench.SetInstallLocation(KEY_WOW64_32KEY, bench.install_folder());
    if (c.place == Place::kInstalled64)
      bench.SetInstallLocation(KEY_WOW64_64KEY, bench.install_folder() + L"\\");
    ASSERT_TRUE(bench.PlaceFile(
        dll, c.place == Place::kBeside ? bench.program_folder() : bench.install_folder(), folder, dll_name));
    if (c.decoy_directory) {
      const std::wstring full_name_folder = bench.program_folder() + L"\\de-DE";
      ASSERT_TRUE(::CreateDirectoryW(full_name_folder.c_str(), nullptr));
      ASSERT_TRUE(::CreateDirectoryW((full_name_folder + L"\\" + dll_name).c_str(), nullptr));
    }
    bench.SetLanguage(c.language_value);

    const ResourceSelection selection = SelectResourceDll(program.c_str(), bench.keys());

    EXPECT_EQ(WideToUtf8(selection.language),
              WideToUtf8(c.language != nullptr ? c.language : default_language));
    ASSERT_EQ(static_cast<bool>(selection.dll), c.accepted);
    if (!c.accepted) continue;
    const std::wstring text = test::LoadText(selection.dll.get(), kInstallPromptId);
    EXPECT_NE(text.find(c.dll == Dll::kGerman ? kGermanInstallText : kFixtureText), std::wstring::npos)
        << WideToUtf8(text);
  }
}

}  // namespace
}  // namespace qfu::locale

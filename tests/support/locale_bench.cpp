#include "support/locale_bench.h"

#include <gtest/gtest.h>

namespace qfu::test {
namespace {
constexpr const wchar_t* kSetupSubkey = L"Setup";
}

LocaleBench::LocaleBench(const std::wstring& name)
    : folder_(name),
      key64_(name, KEY_WOW64_64KEY),
      key32_(name, KEY_WOW64_32KEY),
      setup_key_path_(key64_.path() + L"\\" + kSetupSubkey),
      program_folder_(folder_.path() + L"\\program"),
      install_folder_(folder_.path() + L"\\installed") {
  EXPECT_TRUE(folder_.Make());
  EXPECT_TRUE(::CreateDirectoryW(program_folder_.c_str(), nullptr));
  EXPECT_TRUE(::CreateDirectoryW(install_folder_.c_str(), nullptr));
}

std::wstring LocaleBench::PlaceProgram(const std::wstring& source, const wchar_t* file_name) {
  const std::wstring copy = program_folder_ + L"\\" + file_name;
  if (!::CopyFileW(source.c_str(), copy.c_str(), FALSE)) {
    ADD_FAILURE() << "cannot copy the program: " << ::GetLastError();
    return {};
  }
  return copy;
}

bool LocaleBench::PlaceFile(const std::wstring& source, const std::wstring& location,
                            const std::wstring& language, const wchar_t* dll_name) {
  const std::wstring folder = location + L"\\" + language;
  if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  return ::CopyFileW(source.c_str(), (folder + L"\\" + dll_name).c_str(), FALSE) != FALSE;
}

void LocaleBench::SetLanguage(const wchar_t* language) {
  if (language != nullptr) key64_.SetString(L"Language", language);
}

void LocaleBench::SetInstallLocation(REGSAM view, const std::wstring& location) {
  (view == KEY_WOW64_32KEY ? key32_ : key64_)
      .SetString(L"LastInstallLocation", location.c_str(), kSetupSubkey);
}

locale::LanguageKeys LocaleBench::keys() const { return {key64_.path().c_str(), setup_key_path_.c_str()}; }

}  // namespace qfu::test

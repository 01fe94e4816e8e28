#pragma once
// The language choice's setting for one test: a program copied into a scratch folder of its
// own, resource DLLs copied into language folders beside it or under an install location, and
// the product and setup keys as scratch keys (the setup key in both registry views).
#include <windows.h>

#include <string>

#include "locale/resource_module.h"
#include "support/scratch_directory.h"
#include "support/scratch_key.h"

namespace qfu::test {

class LocaleBench {
 public:
  // name: unique per test. The program lies in <folder>\program, the install location is
  // <folder>\installed.
  explicit LocaleBench(const std::wstring& name);

  // Copies the file source into the program folder as file_name; returns the copy's path (empty,
  // and a failure of the test, when it cannot be copied).
  [[nodiscard]] std::wstring PlaceProgram(const std::wstring& source, const wchar_t* file_name);
  // Copies source to <location>\<language>\<dll_name>; false when it cannot.
  [[nodiscard]] bool PlaceFile(const std::wstring& source, const std::wstring& location,
                               const std::wstring& language, const wchar_t* dll_name);
  // Writes "Language" (nullptr: leaves it missing).
  void SetLanguage(const wchar_t* language);
  // Writes "LastInstallLocation" into the setup key of that view.
  void SetInstallLocation(REGSAM view, const std::wstring& location);

  [[nodiscard]] const std::wstring& program_folder() const { return program_folder_; }
  [[nodiscard]] const std::wstring& install_folder() const { return install_folder_; }
  [[nodiscard]] locale::LanguageKeys keys() const;

 private:
  ScratchDirectory folder_;
  ScratchKey key64_;
  ScratchKey key32_;
  std::wstring setup_key_path_;
  std::wstring program_folder_;
  std::wstring install_folder_;
};

}  // namespace qfu::test

#pragma once
// Folders and directory links of a test's own under ProgramData, where the agent keeps its
// working directory.
#include <windows.h>

#include <initializer_list>
#include <string>

namespace qfu::test {

// The ProgramData folder (C:\ProgramData), without a trailing backslash.
[[nodiscard]] std::wstring ProgramDataFolder();

// A folder C:\ProgramData\QFUpdateTests\<name>, removed with everything below it when the
// test starts and when it ends; links inside it are removed, never followed. The folder
// itself is not made: the code under test makes it.
class ScratchDirectory {
 public:
  // name: unique per test, so that tests running at once never share a folder.
  explicit ScratchDirectory(const std::wstring& name);
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();

  // Makes the folder (and QFUpdateTests above it), for tests whose code under test expects it;
  // false when it cannot be made.
  [[nodiscard]] bool Make() const;

  // Its full path, without a trailing backslash.
  [[nodiscard]] const std::wstring& path() const { return path_; }
  // Its path below ProgramData, in the working directory override's form: "\QFUpdateTests\<name>".
  [[nodiscard]] const std::wstring& below_program_data() const { return below_program_data_; }

 private:
  std::wstring below_program_data_;
  std::wstring path_;
};

// The tests run under Wine, which makes neither junctions nor symbolic links but reports a Unix
// symbolic link as a reparse point on a path query. Links are made and trees removed through
// Unix programs; on Windows both fail.

// The Unix path of a Windows path under Wine; empty when there is none.
[[nodiscard]] std::string UnixPath(const std::wstring& path);

// Makes link a directory link to the existing folder target; true when
// the link then reports FILE_ATTRIBUTE_REPARSE_POINT.
[[nodiscard]] bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);

// Removes path and everything below it, links removed as themselves and never followed
// (RemoveDirectoryW on a linked folder removes the folder the link names under Wine).
void RemoveTree(const std::wstring& path);

// Writes text to a new file at path (replacing one that is there); false when it cannot.
[[nodiscard]] bool WriteTextFile(const std::wstring& path, const char* text);

// Makes the folder path holding files (names inside it), each with some text; false when any
// of them cannot be made.
[[nodiscard]] bool MakeFolderWith(const std::wstring& path, std::initializer_list<const wchar_t*> files);

// True when something (file or folder) is at path.
[[nodiscard]] bool Exists(const std::wstring& path);

}  // namespace qfu::test

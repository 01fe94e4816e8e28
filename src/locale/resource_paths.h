#pragma once
// Path text of the translated resource DLLs, without Windows: the DLL's file name built from the
// program's, and the candidate paths under a folder named after the language.
#include <cstddef>
#include <optional>

#include "common/wide.h"

namespace qfu::locale {

// Paths fit a 260-unit buffer with their terminator.
inline constexpr std::size_t kMaxPathChars = 259;
// The resource DLL's file name: the program's file name without its extension, then this.
inline constexpr WideStringView kResourceFileSuffix = QFU_WIDE(".resources.dll");
inline constexpr std::size_t kMaxResourceFileNameChars = 127;

struct ResourceFileParts {
  WideString directory;  // the program's folder, up to and including its last backslash
  WideString file_name;  // the resource DLL's file name ("qfupdate.resources.dll")
};

// Splits the program's full path into its folder and the resource DLL's file name; nothing
// when the path has no backslash, names no file, or the DLL's name would be longer than
// kMaxResourceFileNameChars.
[[nodiscard]] std::optional<ResourceFileParts> SplitProgramPath(WideStringView program_path);

// Returns location + one backslash (unless it ends in one) + language + "\" + file_name, or
// nothing when the location or the language is empty, the language is no plain folder name
// (a backslash, slash or colon, "." or ".."), or the path is longer than kMaxPathChars.
[[nodiscard]] std::optional<WideString> ResourceCandidatePath(WideStringView location,
                                                              WideStringView language,
                                                              WideStringView file_name);

// The language name before its first hyphen ("de-DE" gives "de"); nothing without a hyphen.
[[nodiscard]] std::optional<WideString> LanguageBeforeHyphen(WideStringView language);

}  // namespace qfu::locale

#pragma once
// Path text of the working directory, without Windows: splitting at delimiters, the rule that
// keeps the working directory's override below ProgramData, and the request name as a folder.
#include <cstddef>
#include <optional>
#include <vector>

#include "common/wide.h"

namespace qfu::package {

// The working directory below ProgramData when the registry names none.
inline constexpr const WideChar* kDefaultProgramDataSubdirectory = QFU_WIDE("\\Quillfern");
// The longest subdirectory text: it must fit a 260-unit buffer with its terminator.
inline constexpr std::size_t kMaxProgramDataSubdirectoryChars = 259;

// Returns the non-empty tokens of text separated by any of the delimiters, in order: runs of
// delimiters count as one, leading and trailing delimiters give no empty token.
[[nodiscard]] std::vector<WideString> SplitPath(WideStringView text, WideStringView delimiters);

// Returns subdirectory in the form "\Name\Name" (a leading backslash, one backslash between
// names, none at the end): missing, trailing and doubled backslashes are put right. Returns
// nothing, so that the caller keeps its default, when the text names no folder, when a name
// could lead out of ProgramData or name something else ("." or "..", a drive or stream ":",
// "/", a wildcard or other character Windows refuses in a name, a control character, a
// trailing dot or space), or when the result is longer than kMaxProgramDataSubdirectoryChars.
[[nodiscard]] std::optional<WideString> NormalizeProgramDataSubdirectory(WideStringView subdirectory);

// True when name (UTF-16) passes the request name rule that submit applies
// (store::IsAcceptableRequestName) in its UTF-8 form, and converts to it without loss (no lone
// surrogate): only such a name becomes a package directory.
[[nodiscard]] bool IsAcceptableRequestName(WideStringView name);

struct PackagePathParts {
  WideStringView package_directory;  // "<working directory><request name>", no trailing backslash
  WideStringView file_name;          // the package file's name
};

// Splits target_path (a request's stored package path, which anyone able to write the request
// key could have changed) into the package directory and file it may name: it must be
// working_directory (with its trailing backslash, compared exactly), a request name that
// submit accepts, "\" and one plain file name (the rule of PackageFileName). Returns nothing
// for anything else: another folder, a deeper or shallower path, "..", a stream or a device.
[[nodiscard]] std::optional<PackagePathParts> SplitPackagePath(WideStringView working_directory,
                                                               WideStringView target_path);

}  // namespace qfu::package

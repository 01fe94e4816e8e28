#include "locale/resource_paths.h"

namespace qfu::locale {
namespace {

constexpr WideChar kBackslash = QFU_WIDE('\\');

// A language is one folder name: nothing that could name another folder or a stream.
[[nodiscard]] bool IsPlainFolderName(WideStringView name) {
  if (name.empty() || name == QFU_WIDE(".") || name == QFU_WIDE("..")) return false;
  return name.find_first_of(QFU_WIDE("\\/:")) == WideStringView::npos;
}

}  // namespace

std::optional<ResourceFileParts> SplitProgramPath(WideStringView program_path) {
  const std::size_t last_backslash = program_path.rfind(kBackslash);
  if (last_backslash == WideStringView::npos || last_backslash + 1 == program_path.size())
    return std::nullopt;
  const WideStringView program_name = program_path.substr(last_backslash + 1);
  const WideStringView stem = program_name.substr(0, program_name.rfind(QFU_WIDE('.')));
  if (stem.size() + kResourceFileSuffix.size() > kMaxResourceFileNameChars) return std::nullopt;
  ResourceFileParts parts;
  parts.directory = WideString(program_path.substr(0, last_backslash + 1));
  parts.file_name = WideString(stem);
  parts.file_name += kResourceFileSuffix;
  return parts;
}

std::optional<WideString> ResourceCandidatePath(WideStringView location, WideStringView language,
                                                WideStringView file_name) {
  if (location.empty() || !IsPlainFolderName(language)) return std::nullopt;
  WideString path(location);
  if (path.back() != kBackslash) path += kBackslash;
  path += language;
  path += kBackslash;
  path += file_name;
  if (path.size() > kMaxPathChars) return std::nullopt;
  return path;
}

std::optional<WideString> LanguageBeforeHyphen(WideStringView language) {
  const std::size_t hyphen = language.find(QFU_WIDE('-'));
  if (hyphen == WideStringView::npos) return std::nullopt;
  return WideString(language.substr(0, hyphen));
}

}  // namespace qfu::locale

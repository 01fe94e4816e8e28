#include "package/path_text.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/utf.h"
#include "package/download_rules.h"
#include "store/request_name.h"

namespace qfu::package {
namespace {

constexpr WideChar kBackslash = QFU_WIDE('\\');
constexpr WideStringView kCharactersRefusedInNames = QFU_WIDE("<>:\"/|?*");

// True when name is one plain folder name that Windows takes as it stands: not a reference
// to this or the parent folder, no drive or stream separator, no second separator, no
// wildcard, and no trailing dot or space (Windows drops those, so "..." would become "").
bool IsPlainFolderName(WideStringView name) {
  if (name == QFU_WIDE(".") || name == QFU_WIDE("..")) return false;
  if (name.back() == QFU_WIDE('.') || name.back() == QFU_WIDE(' ')) return false;
  return std::none_of(name.begin(), name.end(), [](WideChar c) {
    return c < 0x20 || kCharactersRefusedInNames.find(c) != WideStringView::npos;
  });
}

}  // namespace

std::vector<WideString> SplitPath(WideStringView text, WideStringView delimiters) {
  std::vector<WideString> tokens;
  std::size_t start = text.find_first_not_of(delimiters);
  while (start != WideStringView::npos) {
    const std::size_t end = text.find_first_of(delimiters, start);
    tokens.emplace_back(text.substr(start, end == WideStringView::npos ? WideStringView::npos : end - start));
    start = end == WideStringView::npos ? end : text.find_first_not_of(delimiters, end);
  }
  return tokens;
}

std::optional<WideString> NormalizeProgramDataSubdirectory(WideStringView subdirectory) {
  const std::vector<WideString> names = SplitPath(subdirectory, WideStringView(&kBackslash, 1));
  if (names.empty()) return std::nullopt;
  WideString normalized;
  for (const WideString& name : names) {
    if (!IsPlainFolderName(name)) return std::nullopt;
    normalized += kBackslash;
    normalized += name;
  }
  if (normalized.size() > kMaxProgramDataSubdirectoryChars) return std::nullopt;
  return normalized;
}

bool IsAcceptableRequestName(WideStringView name) {
  if (name.find(WideChar{0}) != WideStringView::npos) return false;  // the folder name would end there
  const std::string utf8 = WideToUtf8(name);
  if (Utf8ToWide(utf8) != name) return false;
  std::array<std::uint8_t, wire::kRequestNameSize> field{};
  return WriteFieldText(field, utf8) && store::IsAcceptableRequestName(field);
}

std::optional<PackagePathParts> SplitPackagePath(WideStringView working_directory,
                                                 WideStringView target_path) {
  if (working_directory.empty() || working_directory.back() != kBackslash) return std::nullopt;
  if (target_path.substr(0, working_directory.size()) != working_directory) return std::nullopt;
  const WideStringView below = target_path.substr(working_directory.size());
  const std::size_t separator = below.find(kBackslash);
  if (separator == WideStringView::npos) return std::nullopt;
  const WideStringView request_name = below.substr(0, separator);
  const WideStringView file_name = below.substr(separator + 1);
  // PackageFileName reads the text after a "/", so a name holding one is not handed back whole.
  const auto plain_file = PackageFileName(file_name);
  if (!IsAcceptableRequestName(request_name) || !plain_file || plain_file->size() != file_name.size()) {
    return std::nullopt;
  }
  return PackagePathParts{target_path.substr(0, working_directory.size() + separator), file_name};
}

}  // namespace qfu::package

#include "package/installer_command_line.h"

#include <algorithm>

namespace qfu::package {
namespace {

constexpr WideChar kQuote = QFU_WIDE('"');
constexpr WideChar kSpace = QFU_WIDE(' ');
// The two quotation marks around the package path and the terminator.
constexpr std::size_t kQuotesAndTerminator = 3;

}  // namespace

std::size_t InstallerCommandLineSize(WideStringView package_path, WideStringView arguments) noexcept {
  std::size_t size =
      kInstallerProgram.size() + kInstallerSwitches.size() + package_path.size() + kQuotesAndTerminator;
  if (!arguments.empty()) size += 1 + arguments.size();
  return size;
}

bool WriteInstallerCommandLine(WideStringView package_path, WideStringView arguments,
                               std::span<WideChar> buffer) noexcept {
  if (buffer.size() < InstallerCommandLineSize(package_path, arguments)) return false;
  WideChar* out = buffer.data();
  out = std::copy(kInstallerProgram.begin(), kInstallerProgram.end(), out);
  out = std::copy(kInstallerSwitches.begin(), kInstallerSwitches.end(), out);
  *out++ = kQuote;
  out = std::copy(package_path.begin(), package_path.end(), out);
  *out++ = kQuote;
  if (!arguments.empty()) {
    *out++ = kSpace;
    out = std::copy(arguments.begin(), arguments.end(), out);
  }
  *out = WideChar{0};
  return true;
}

}  // namespace qfu::package

#pragma once
// The Windows Installer's command line for a silent installation, without Windows:
//   msiexec.exe /l* msi.log /qn /norestart /i "<package path>"[ <installer arguments>]
// (log everything to msi.log in the current directory, no user interface, no restart).
#include <cstddef>
#include <span>

#include "common/wide.h"

namespace qfu::package {

inline constexpr WideStringView kInstallerProgram = QFU_WIDE("msiexec.exe");
inline constexpr WideStringView kInstallerSwitches = QFU_WIDE(" /l* msi.log /qn /norestart /i ");

// Returns the size in UTF-16 units, terminator included, of the command line for
// package_path and arguments (empty: none; they are appended unchanged after a space).
[[nodiscard]] std::size_t InstallerCommandLineSize(WideStringView package_path,
                                                   WideStringView arguments) noexcept;

// Writes the command line and its terminator into buffer. Returns false, writing nothing,
// when buffer holds fewer units than InstallerCommandLineSize gives.
[[nodiscard]] bool WriteInstallerCommandLine(WideStringView package_path, WideStringView arguments,
                                             std::span<WideChar> buffer) noexcept;

}  // namespace qfu::package

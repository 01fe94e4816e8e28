#pragma once

namespace qfu::service {

inline constexpr const wchar_t* kServiceName = L"QFUpdate";

// Registers this program as the auto-start, own-process LocalSystem service QFUpdate and
// prints the outcome to standard output.
void InstallService();

}  // namespace qfu::service

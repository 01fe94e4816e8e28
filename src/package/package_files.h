#pragma once
// Removal of a request's downloaded package.

namespace qfu::package {

// Deletes the package at target_path (the request record's full path of the downloaded
// package); with remove_log_and_directory also the installer log beside it and the package
// directory. An empty path does nothing. Failures are not reported.
void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory);

}  // namespace qfu::package

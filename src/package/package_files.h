#pragma once
// Removal of a request's downloaded package.
#include "store/store_ports.h"

namespace qfu::package {

// Deletes the package at target_path (the request record's full path of the downloaded
// package); with remove_log_and_directory also the installer log beside it and the package
// directory. An empty path does nothing. Failures are not reported.
void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory);

// The store's port onto RemovePackageFiles.
class PackageFiles final : public store::PackageFileRemover {
 public:
  void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) noexcept override {
    package::RemovePackageFiles(target_path, remove_log_and_directory);
  }
};

}  // namespace qfu::package

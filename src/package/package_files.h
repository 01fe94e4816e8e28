#pragma once
// Removal of a request's downloaded package.
#include "store/store_ports.h"

namespace qfu::package {

// Deletes the package at target_path (the request record's full path of the downloaded
// package); with remove_log_and_directory also the installer log beside it and the package
// directory. The path comes from the request key, which is not to be trusted: only a package
// file directly inside a package directory of working_directory (with its trailing
// backslash) goes, and only when neither directory is a reparse point (SplitPackagePath has the
// rule). Anything else, and an empty path, does nothing. Failures are not reported.
void RemovePackageFiles(const wchar_t* working_directory, const wchar_t* target_path,
                        bool remove_log_and_directory);

// The store's port onto RemovePackageFiles, within the working directory as it is when the
// removal is asked for (not created when missing).
class PackageFiles final : public store::PackageFileRemover {
 public:
  void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) noexcept override;
};

}  // namespace qfu::package

#include "package/package_files.h"

namespace qfu::package {

// Not built yet: deleting the package file, and with remove_log_and_directory "msi.log"
// beside it and the package directory. It comes with the installer runner; until then a
// cancelled or finished request leaves its package on disk.
void RemovePackageFiles(const wchar_t*, bool) {}

}  // namespace qfu::package

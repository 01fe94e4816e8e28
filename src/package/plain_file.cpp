#include "package/plain_file.h"

#include "common/last_error.h"

namespace qfu::package {

DWORD OpenPlainFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags_and_attributes, UniqueFile& file) {
  // FILE_READ_ATTRIBUTES: for the reparse check below.
  file.reset(::CreateFileW(path, access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                           flags_and_attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  FILE_ATTRIBUTE_TAG_INFO attributes = {};
  BY_HANDLE_FILE_INFORMATION information = {};  // its link count
  if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &attributes, sizeof(attributes)) ||
      !::GetFileInformationByHandle(file.get(), &information)) {
    const DWORD error = LastError();
    file.reset();
    return error;
  }
  if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || information.nNumberOfLinks > 1) {
    file.reset();
    return kPackageFileRefused;
  }
  return ERROR_SUCCESS;
}

DWORD LockPackage(const wchar_t* path, UniqueFile& held) {
  // Read sharing only: the installer reads the package while we hold it; writing, deleting
  // and renaming (which needs delete access) are refused to everyone else.
  return OpenPlainFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, held);
}

}  // namespace qfu::package

#include "package/safe_directory.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/handle.h"
#include "common/last_error.h"

namespace qfu::package {
namespace {

// The verdict on a directory's attributes: a reparse point first, whatever it points at.
DWORD PlainDirectoryVerdict(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kReparsePointRefused;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  return ERROR_SUCCESS;
}

// Opens the directory at path itself, never what a reparse point there names, with access,
// after checking it by its path and again through the handle. The handle query sees a link
// put in place between the two; the path query sees what Wine, whose open always follows a
// Unix symbolic link, reports as a reparse point only there.
DWORD OpenPlainDirectory(const wchar_t* path, DWORD access, UniqueFile& directory) {
  if (const DWORD verdict = CheckPlainDirectory(path); verdict != ERROR_SUCCESS) return verdict;
  // FILE_FLAG_BACKUP_SEMANTICS opens a directory; FILE_FLAG_OPEN_REPARSE_POINT opens a
  // reparse point as itself. Shared fully: other readers of the folder are no threat.
  directory.reset(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  if (!directory) return LastError();
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(directory.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return LastError();
  }
  return PlainDirectoryVerdict(tag.FileAttributes);
}

// The protected security as a self-relative descriptor, owned by the caller (LocalFree).
DWORD ProtectedSecurity(UniqueLocalMemory& descriptor) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedDirectorySddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
    return LastError();
  }
  descriptor.reset(raw);
  return ERROR_SUCCESS;
}

// Replacing an owner and a DACL: READ_CONTROL as well, since the protected DACL is merged
// with what the directory carries (Wine refuses the call without it).
constexpr DWORD kProtectAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;

// Gives the directory at path (no reparse point) the owner and the protected DACL.
DWORD Protect(const wchar_t* path, PSECURITY_DESCRIPTOR security) {
  UniqueFile directory;
  if (const DWORD opened = OpenPlainDirectory(path, kProtectAccess, directory); opened != ERROR_SUCCESS) {
    return opened;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (!::GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted) ||
      !::GetSecurityDescriptorOwner(security, &owner, &defaulted)) {
    return LastError();
  }
  // PROTECTED_DACL_SECURITY_INFORMATION: the entries inherited from the folder above are
  // dropped and no longer flow in.
  return ::SetSecurityInfo(
      directory.get(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, owner,
      nullptr, dacl, nullptr);
}

}  // namespace

DWORD CheckPlainDirectory(const wchar_t* path) {
  // The attributes of the name itself: a junction or a symbolic link reports
  // FILE_ATTRIBUTE_REPARSE_POINT here, whatever it points at.
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  return PlainDirectoryVerdict(attributes);
}

DWORD MakeProtectedDirectory(const wchar_t* path, ExistingDirectory existing) {
  UniqueLocalMemory security;
  if (const DWORD built = ProtectedSecurity(security); built != ERROR_SUCCESS) return built;
  // Created with the protected DACL from the start, so that it is never open to users.
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security.get(), FALSE};
  if (::CreateDirectoryW(path, &attributes)) return Protect(path, security.get());
  const DWORD created = ::GetLastError();
  if (created != ERROR_ALREADY_EXISTS) return created;
  if (existing == ExistingDirectory::kKeepSecurity) return CheckPlainDirectory(path);
  return Protect(path, security.get());
}

}  // namespace qfu::package

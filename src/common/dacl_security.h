#pragma once
// Security attributes for an object a process creates (a pipe): a DACL that grants each listed
// trustee its rights and nobody else anything.
#include <windows.h>

#include <aclapi.h>

#include <cstddef>
#include <span>

#include "common/handle.h"
#include "common/last_error.h"

namespace qfu {

struct DaclEntry {
  PSID trustee;  // read only while Build runs: SetEntriesInAcl copies it into the ACL
  DWORD access;
};

// The ACL and the descriptor live as long as this object; attributes points at them once Build
// has succeeded.
struct DaclSecurity {
  UniqueLocalMemory acl;
  UniqueLocalMemory descriptor;
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

  // Returns 0, or the Win32 error with the name of the call that failed in failed_call.
  [[nodiscard]] DWORD Build(std::span<const DaclEntry> entries, const wchar_t*& failed_call) {
    constexpr std::size_t kMostEntries = 4;
    EXPLICIT_ACCESSW access[kMostEntries] = {};
    failed_call = L"SetEntriesInAcl";
    if (entries.size() > kMostEntries) return ERROR_INVALID_PARAMETER;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      access[i].grfAccessPermissions = entries[i].access;
      access[i].grfAccessMode = SET_ACCESS;
      access[i].grfInheritance = NO_INHERITANCE;
      access[i].Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
      access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
      access[i].Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
      access[i].Trustee.ptstrName = static_cast<LPWSTR>(entries[i].trustee);
    }
    PACL new_acl = nullptr;
    if (const DWORD error = ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), access, nullptr, &new_acl);
        error != ERROR_SUCCESS) {
      return error;
    }
    acl.reset(new_acl);
    failed_call = L"LocalAlloc";
    descriptor.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) return LastError();
    failed_call = L"InitializeSecurityDescriptor";
    if (!::InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION)) return LastError();
    failed_call = L"SetSecurityDescriptorDacl";
    if (!::SetSecurityDescriptorDacl(descriptor.get(), TRUE, static_cast<PACL>(acl.get()), FALSE)) {
      return LastError();
    }
    failed_call = nullptr;
    attributes.lpSecurityDescriptor = descriptor.get();
    return ERROR_SUCCESS;
  }
};

}  // namespace qfu

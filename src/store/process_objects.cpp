#include "store/process_objects.h"

#include <sddl.h>
#include <strsafe.h>

#include <utility>

#include "common/last_error.h"

namespace qfu {
namespace {

// The security of the named objects, as SDDL: a protected DACL (D:P, nothing inherited) that
// gives all access (GA) to LocalSystem (SY) and Administrators (BA) and nothing to anyone else,
// so that no other user can open, signal, hold or wait on them.
constexpr const wchar_t* kNamedObjectSddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

}  // namespace

ProcessObjects::ProcessObjects() {
  (void)::StringCchCopyW(user_agent, kUserAgentCapacity, kDefaultUserAgent);
}

DWORD CreateNamedObjects(ProcessObjects& objects) {
  struct Step {
    UniqueHandle* target;
    const wchar_t* name;
    bool is_event;
  };
  const Step steps[] = {
      {&objects.queue_mutex, kQueueMutexName, false},
      {&objects.cancel_mutex, kCancelMutexName, false},
      {&objects.registry_mutex, kRegistryMutexName, false},
      {&objects.update_event, kUpdateEventName, true},
      {&objects.user_agent_mutex, kUserAgentMutexName, false},
  };
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kNamedObjectSddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
    return LastError();
  }
  const UniqueLocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  for (const Step& step : steps) {
    // The update event is auto-reset and starts not signalled; mutexes start not owned.
    UniqueHandle object(step.is_event ? ::CreateEventW(&attributes, FALSE, FALSE, step.name)
                                      : ::CreateMutexW(&attributes, FALSE, step.name));
    if (!object) return LastError();
    // Someone made it before us and chose its security: it is theirs, not ours to use.
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return ERROR_ALREADY_EXISTS;
    *step.target = std::move(object);
  }
  return ERROR_SUCCESS;
}

void ReleaseGlobalObjects(ProcessObjects& objects) {
  objects.queue_mutex.reset();
  objects.cancel_mutex.reset();
  objects.registry_mutex.reset();
  objects.update_event.reset();
  objects.user_agent_mutex.reset();
  ReleaseResourceModule(objects);
}

void ReleaseResourceModule(ProcessObjects& objects) {
  // The program's own texts take over before the DLL is unloaded.
  objects.resource_module = ::GetModuleHandleW(nullptr);
  objects.loaded_resource_module.reset();
}

}  // namespace qfu

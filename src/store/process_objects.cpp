#include "store/process_objects.h"

#include <strsafe.h>

namespace qfu {

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
  for (const Step& step : steps) {
    // The update event is auto-reset and starts not signalled; mutexes start not owned.
    HANDLE object = step.is_event ? ::CreateEventW(nullptr, FALSE, FALSE, step.name)
                                  : ::CreateMutexW(nullptr, FALSE, step.name);
    if (object == nullptr) return ::GetLastError();
    step.target->reset(object);
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

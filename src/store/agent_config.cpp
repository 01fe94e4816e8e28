#include "store/agent_config.h"

#include <strsafe.h>

#include "store/process_objects.h"

namespace qfu {

AgentConfig::AgentConfig() { (void)::StringCchCopyW(user_agent, kUserAgentCapacity, kDefaultUserAgent); }

DWORD CreateUserAgentMutex(AgentConfig& config) {
  return CreateNamedObject(kUserAgentMutexName, NamedObjectKind::kMutex, config.user_agent_mutex);
}

void ReleaseAgentObjects(AgentConfig& config) {
  config.user_agent_mutex.reset();
  ReleaseResourceModule(config);
}

void ReleaseResourceModule(AgentConfig& config) {
  // The program's own texts take over before the DLL is unloaded.
  config.resource_module = ::GetModuleHandleW(nullptr);
  config.loaded_resource_module.reset();
}

}  // namespace qfu

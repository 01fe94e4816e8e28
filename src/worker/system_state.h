#pragma once
// Windows' own state as the worker asks it before an installation: the Windows Update Agent's
// COM classes (restart required, installer busy) and the sessions of the machine.
#include <windows.h>

#include "worker/worker_ports.h"

namespace qfu::worker {

// Each Windows Update query initialises COM on the calling thread and uninitialises it again,
// so no COM state outlives the query; a class that cannot be created or a property that
// cannot be read answers false, and only VARIANT_TRUE counts as true.
class WindowsSystemState final : public SystemState {
 public:
  [[nodiscard]] bool RestartPending() override;
  [[nodiscard]] bool InstallerBusy() override;
  [[nodiscard]] DWORD LoggedOnUserCount() override;
};

}  // namespace qfu::worker

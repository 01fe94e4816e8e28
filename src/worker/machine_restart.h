#pragma once
// The restart of the machine after an installation that needs one.
#include <windows.h>

#include "worker/worker_ports.h"

namespace qfu::worker {

// A planned restart for an installation (reason 0x80040002), at once, without forcing
// applications closed, after enabling the shutdown privilege of the process.
class SystemMachineRestart final : public MachineRestart {
 public:
  [[nodiscard]] DWORD RestartMachine() override;
};

}  // namespace qfu::worker

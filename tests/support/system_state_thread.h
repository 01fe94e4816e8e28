#pragma once
// The real Windows Update queries of the worker on a thread of their own, with COM set up as
// a caller of the worker may have it.
#include <windows.h>

#include <optional>

namespace qfu::test {

struct ComAfterQueries {
  bool restart_pending = true;
  bool installer_busy = true;
  HRESULT reinitialised = E_FAIL;  // the caller's CoInitializeEx after both queries
};

// Runs both Windows Update queries on a fresh thread whose COM the caller initialised as told
// (or not at all), then asks COM whether the thread is still initialised.
[[nodiscard]] ComAfterQueries QueryOnFreshThread(std::optional<DWORD> caller_model);

}  // namespace qfu::test

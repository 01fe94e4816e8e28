#pragma once
// Test doubles for the VPN client's API library: the stand-in qfclapi64.dll installed into
// the Wine prefix's system directory and answering from a scratch key of the test's own,
// and an in-memory fake of the worker's ClientApi port.
#include <windows.h>

#include <span>
#include <string>

#include "support/scratch_key.h"
#include "worker/client_api.h"

namespace qfu::test {

// Copies the stand-in library from the build's bin folder into the system directory, unless
// an identical copy is there already. Safe when several test processes do it at once.
// Returns true when the system directory holds the built library.
[[nodiscard]] bool InstallClientApiStandIn();

// Copies the built stand-in library beside the test executable under file_name and checks that
// the copy, loaded by its full path, answers from the stand-in's key like the installed one.
// Returns the copy's full path, or an empty string when the copy cannot be made or loaded.
[[nodiscard]] std::wstring CopyClientApiBeside(const wchar_t* file_name, DWORD expected_connection_state);

// The installed stand-in, answering from a scratch key named after the test: installs the
// library, points QFCLAPI_STANDIN_KEY at the key for this process, and restores the
// variable when it goes.
class ClientApiStandIn {
 public:
  explicit ClientApiStandIn(const std::wstring& name);
  ClientApiStandIn(const ClientApiStandIn&) = delete;
  ClientApiStandIn& operator=(const ClientApiStandIn&) = delete;
  ~ClientApiStandIn();

  [[nodiscard]] bool installed() const { return installed_; }
  void SetConnectionState(DWORD state) { key_.SetDword(L"ConnectionState", state); }
  void SetNetworkType(DWORD type) { key_.SetDword(L"NetworkType", type); }
  void SetVersion(DWORD version) { key_.SetDword(L"Version", version); }
  void SetTriggerResult(DWORD result) { key_.SetDword(L"TriggerResult", result); }
  // What the library recorded of the trigger condition calls (empty and 0 before any).
  [[nodiscard]] std::wstring LastTriggerCondition() const;
  [[nodiscard]] DWORD TriggerCalls() const;

 private:
  ScratchKey key_;
  bool installed_ = false;
  bool had_variable_ = false;
  std::wstring previous_variable_;
};

// The ClientApi port answering from its fields and counting the trigger condition calls.
class FakeClientApi final : public worker::ClientApi {
 public:
  DWORD network_type = 0;
  bool connected = false;
  std::wstring version;  // empty: no version reported
  DWORD trigger_result = 0;
  bool trigger = false;  // the condition as last set
  int trigger_true_calls = 0;
  int trigger_false_calls = 0;

  [[nodiscard]] DWORD NetworkType() override { return network_type; }
  [[nodiscard]] bool IsConnected() override { return connected; }
  DWORD SetTriggerCondition(bool downloading) override;
  [[nodiscard]] bool InstalledVersion(std::span<wchar_t> buffer) override;
};

}  // namespace qfu::test

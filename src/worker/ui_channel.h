#pragma once
// The UI pipe as the agent uses it: one prompt, one answer, over "\\.\pipe\qfupdateagent_ui",
// served by a UI process in the user's session.
#include <windows.h>

#include <cstdint>

#include "common/wide.h"
#include "worker/worker_ports.h"

namespace qfu::worker {

// Any local process may serve the UI pipe's name, so the agent connects with identification
// level only: the server can never act as the agent. It never waits for a free instance.
class PipeUiChannel final : public UiChannel {
 public:
  PipeUiChannel() noexcept = default;
  // pipe_name: another pipe, for tests; must outlive the object.
  explicit PipeUiChannel(const wchar_t* pipe_name) noexcept : pipe_name_(pipe_name) {}

  [[nodiscard]] std::uint32_t SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                           std::uint32_t timeout_ms) override;

 private:
  const wchar_t* pipe_name_ = nullptr;  // null: the UI pipe
};

}  // namespace qfu::worker

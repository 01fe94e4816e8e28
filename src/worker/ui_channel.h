#pragma once
// The UI pipe as the agent uses it: one prompt, one answer, over "\\.\pipe\qfupdateagent_ui",
// served by a UI process in the user's session.
#include <windows.h>

#include <cstdint>

#include "common/wide.h"
#include "worker/worker_ports.h"

namespace qfu::worker {

// Any local process may serve the UI pipe's name, so the agent talks only to a server whose
// program passes the publisher check, connects with identification level only (the server can
// never act as the agent), never waits for a free instance, and stops waiting for an answer
// when the service stops.
class PipeUiChannel final : public UiChannel {
 public:
  // stop_event: the service's stop event (manual-reset), which ends the wait for an answer;
  // pipe_name: another pipe, for tests (null: the UI pipe). Both must outlive the object.
  explicit PipeUiChannel(HANDLE stop_event, const wchar_t* pipe_name = nullptr) noexcept
      : stop_event_(stop_event), pipe_name_(pipe_name) {}

  // Answers 2 without a prompt when the stop event is set, nothing serves the pipe, every
  // instance is busy, or the server's program fails the publisher check; 2 as well when the
  // stop event is set while the answer is awaited.
  [[nodiscard]] std::uint32_t SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                           std::uint32_t timeout_ms) override;

 private:
  HANDLE stop_event_;
  const wchar_t* pipe_name_;
};

}  // namespace qfu::worker

#include "worker/ui_channel.h"

#include <algorithm>
#include <array>

#include "common/handle.h"
#include "wire/pipes.h"
#include "wire/ui_prompt.h"

namespace qfu::worker {

std::uint32_t PipeUiChannel::SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                          std::uint32_t timeout_ms) {
  wire::UiPromptMessage prompt = wire::BuildUiPrompt(text, caption, style, timeout_ms);

  // Any local process may serve the UI pipe: identification level lets it learn who asks,
  // never act as the agent. No WaitNamedPipeW: when every instance is busy (ERROR_PIPE_BUSY),
  // or nothing serves the name, the prompt is answered at once as cancelled.
  const UniqueFile pipe(::CreateFileW(pipe_name_ != nullptr ? pipe_name_ : wire::kUiPipeName,
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe) return wire::ui_reply::kCancel;
  DWORD read_mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &read_mode, nullptr, nullptr)) return wire::ui_reply::kCancel;

  // The transaction waits for the answer without a limit: the UI applies the prompt's timeout.
  std::array<std::uint8_t, wire::kUiPromptReplySize> reply{};
  DWORD got = 0;
  if (!::TransactNamedPipe(pipe.get(), prompt.data(), static_cast<DWORD>(prompt.size()),
                           reply.data(), static_cast<DWORD>(reply.size()), &got, nullptr) &&
      ::GetLastError() != ERROR_MORE_DATA) {
    return wire::ui_reply::kCancel;
  }
  // A longer reply counts by its first 4 bytes; a shorter one as cancelled.
  return wire::UiPromptAnswer(wire::Bytes(reply.data(), std::min<std::size_t>(got, reply.size())));
}

}  // namespace qfu::worker

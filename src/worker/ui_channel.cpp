#include "worker/ui_channel.h"

#include <algorithm>
#include <array>

#include "common/handle.h"
#include "common/overlapped_io.h"
#include "common/pipe_access.h"
#include "package/signature.h"
#include "wire/pipes.h"
#include "wire/ui_prompt.h"

namespace qfu::worker {

std::uint32_t PipeUiChannel::SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                          std::uint32_t timeout_ms) {
  if (::WaitForSingleObject(stop_event_, 0) != WAIT_TIMEOUT) return wire::ui_reply::kCancel;
  wire::UiPromptMessage prompt = wire::BuildUiPrompt(text, caption, style, timeout_ms);

  // Identification level: the server may learn who asks, never act as the agent. Overlapped,
  // so that the stop event ends the wait for the answer. No WaitNamedPipeW: when every
  // instance is busy (ERROR_PIPE_BUSY), or nothing serves the name, the prompt is answered at
  // once as cancelled.
  const UniqueFile pipe(::CreateFileW(
      pipe_name_ != nullptr ? pipe_name_ : wire::kUiPipeName, kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe) return wire::ui_reply::kCancel;
  // The UI process is a program of the product: a server that another program runs gets no
  // prompt, and its answers would count for nothing.
  ULONG server_process = 0;
  if (!::GetNamedPipeServerProcessId(pipe.get(), &server_process) ||
      package::VerifyProcessPublisher(server_process) != ERROR_SUCCESS) {
    return wire::ui_reply::kCancel;
  }
  DWORD read_mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &read_mode, nullptr, nullptr)) return wire::ui_reply::kCancel;

  const UniqueHandle done(
      ::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // manual-reset, as overlapped I/O needs
  if (!done) return wire::ui_reply::kCancel;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = done.get();
  // The transaction waits for the answer with no limit of its own: the UI applies the prompt's
  // timeout, and the stop event ends the wait.
  std::array<std::uint8_t, wire::kUiPromptReplySize> reply{};
  const BOOL started =
      ::TransactNamedPipe(pipe.get(), prompt.data(), static_cast<DWORD>(prompt.size()), reply.data(),
                          static_cast<DWORD>(reply.size()), nullptr, &overlapped);
  DWORD got = 0;
  const DWORD error = FinishOverlappedIo(pipe.get(), overlapped, started, INFINITE, got, stop_event_);
  if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return wire::ui_reply::kCancel;
  // A longer reply counts by its first 4 bytes; a shorter one as cancelled.
  return wire::UiPromptAnswer(wire::Bytes(reply.data(), std::min<std::size_t>(got, reply.size())));
}

}  // namespace qfu::worker

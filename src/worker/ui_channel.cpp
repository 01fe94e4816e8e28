#include "worker/ui_channel.h"

#include "wire/ui_prompt.h"

namespace qfu::worker {

// Not built yet: no UI process is ever reached.
std::uint32_t PipeUiChannel::SendUiPrompt(WideStringView, WideStringView, std::uint32_t, std::uint32_t) {
  return wire::ui_reply::kCancel;
}

}  // namespace qfu::worker

// Feeds arbitrary bytes to the framing check, the item walk, the item lookup, the package
// digest reader, the key-name parser and the UI prompt reader; the sanitizers report any read
// outside the input.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "store/request_key.h"
#include "wire/message.h"
#include "wire/ui_prompt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Copy into an exactly sized heap block so any overread lands in a redzone.
  const std::vector<std::uint8_t> copy(data, data + size);
  const std::span<const std::uint8_t> message(copy);
  const bool framed = qfu::wire::PassesFramingCheck(message);
  for (std::uint32_t type = 0; type <= 6; ++type) {
    const auto item = qfu::wire::FindItem(message, type);
    if (item && framed) (void)qfu::wire::ItemText(message, type);
  }
  (void)qfu::wire::ReadPackageDigest(message);
  (void)qfu::wire::ParseUiPrompt(message);
  (void)qfu::wire::UiPromptAnswer(message);
  const qfu::wire::RequestMessage view(message);
  (void)view.request_name();
  (void)view.ui_name();

  std::array<std::uint8_t, qfu::wire::kReplyCapacity> reply{};
  qfu::wire::StatusRecord record(reply);
  record.Clear();
  if (size > 0) record.set_length(data[0]);  // any length, also one past the capacity
  qfu::WideString text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<qfu::WideChar>(data[i] | (data[i + 1] << 8)));
  qfu::wire::AppendTextItem(reply, qfu::wire::kTimeStampItem, text);
  (void)qfu::store::ParseRequestKeyName(text);
  return 0;
}

#pragma once
// Messages that many tests send.
#include <string_view>

#include "wire/message_writer.h"

namespace qfu::test {

// A typical submit: name, UI name, version, a package URL and empty installer arguments.
[[nodiscard]] wire::MessageWriter SubmitMessage(std::string_view name, std::string_view url = "http://127.0.0.1/p.msi");

}  // namespace qfu::test

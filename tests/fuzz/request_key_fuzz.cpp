// Request key names read back from the registry (anyone with access to the service key can
// add a subkey) and request name fields from the pipe:
// - a key name that parses formats back to a key name that parses to the same name and
//   instance number;
// - a name field that submit accepts is storable, names a package folder, and its key name
//   parses back to exactly that name and instance (so recovery finds the request again).
#include <algorithm>
#include <array>
#include <cstring>

#include "common/utf.h"
#include "fuzz_input.h"
#include "package/path_text.h"
#include "store/request_key.h"
#include "store/request_name.h"

namespace {

using qfu::fuzz::WideFromBytes;
using qfu::store::ParseRequestKeyName;

void CheckKeyName(const qfu::WideString& key_name) {
  const auto parsed = ParseRequestKeyName(key_name);
  if (!parsed) return;
  QFU_FUZZ_CHECK(parsed->name[qfu::wire::kRequestNameSize - 1] == 0);
  const std::string_view name = qfu::FieldText(parsed->name);
  QFU_FUZZ_CHECK(!name.empty());
  const qfu::WideString again =
      qfu::store::FormatRequestKeyName(qfu::Utf8ToWide(name), parsed->instance_number);
  const auto reparsed = ParseRequestKeyName(again);
  QFU_FUZZ_CHECK(reparsed.has_value());
  QFU_FUZZ_CHECK(reparsed->name == parsed->name && reparsed->instance_number == parsed->instance_number);
}

void CheckNameField(const std::uint8_t* data, std::size_t size) {
  qfu::store::RequestNameField field{};
  if (size < 4) return;
  const std::uint32_t instance =
      data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  std::memcpy(field.data(), data + 4, std::min(field.size(), size - 4));
  if (!qfu::store::IsAcceptableRequestName(field)) return;
  QFU_FUZZ_CHECK(qfu::store::IsStorableRequestName(field));
  const std::string_view name = qfu::FieldText(field);
  QFU_FUZZ_CHECK(!qfu::store::IsDeviceName(name));
  const qfu::WideString wide = qfu::Utf8ToWide(name);
  QFU_FUZZ_CHECK(qfu::package::IsAcceptableRequestName(wide));
  const auto parsed = ParseRequestKeyName(qfu::store::FormatRequestKeyName(wide, instance));
  QFU_FUZZ_CHECK(parsed.has_value());
  QFU_FUZZ_CHECK(qfu::FieldText(parsed->name) == name && parsed->instance_number == instance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckKeyName(WideFromBytes(data, size));
  CheckNameField(data, size);
  return 0;
}

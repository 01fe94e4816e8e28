#pragma once
// Request key names: a request is kept under the service key in a subkey named after its
// request name, followed by "_" and the instance number as eight upper-case hexadecimal
// digits when that is not 0 (Client, Client_0000001A).
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "common/wide.h"
#include "wire/message.h"

namespace qfu::store {

// The service's own key under HKEY_LOCAL_MACHINE: "UserAgent" and one request key per request.
inline constexpr const WideChar* kServiceKeyPath = QFU_WIDE("SYSTEM\\CurrentControlSet\\services\\QFUpdate");

// Size of the buffer the request key path is formatted into, in UTF-16 units.
inline constexpr std::size_t kRequestKeyPathCapacity = 520;
// Longest key name an enumeration hands back, in UTF-16 units with the terminator.
inline constexpr std::size_t kKeyNameCapacity = 260;

using RequestNameField = std::array<std::uint8_t, wire::kRequestNameSize>;

// Returns the request key's name: the name, or "name_%08X" when the instance number is not 0.
[[nodiscard]] WideString FormatRequestKeyName(WideStringView name, std::uint32_t instance_number);

// Returns root + "\" + the key name for the 37-byte UTF-8 request name field (read up to its
// NUL, never past the field). root is the service key path in production.
[[nodiscard]] WideString BuildRequestKeyPath(WideStringView root, wire::Bytes request_name_field,
                                             std::uint32_t instance_number);

// True when the 37-byte request name field can name a request key: its text is not empty
// (that would address the service key itself) and holds no backslash (that would reach a key
// below another request's key).
[[nodiscard]] bool IsStorableRequestName(wire::Bytes request_name_field) noexcept;

struct ParsedKeyName {
  RequestNameField name{};  // UTF-8, NUL-padded: at most 36 bytes of text
  std::uint32_t instance_number = 0;
};

// Splits a request key name at its first "_": the part before is the request name, the part
// after is read as hexadecimal digits up to the first other character (My_App reads as My
// with 0xA; no digits read as 0). Returns nothing when the name part is empty or its UTF-8
// form does not fit in 36 bytes: such a subkey was not written by the agent.
[[nodiscard]] std::optional<ParsedKeyName> ParseRequestKeyName(WideStringView key_name);

}  // namespace qfu::store

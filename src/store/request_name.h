#pragma once
// The names a submitted request may carry. A name keys the request in the registry and names
// its package directory under ProgramData, so it must survive the trip through a key name and
// be a plain, harmless folder name.
#include <string_view>

#include "wire/message.h"

namespace qfu::store {

// True when the 37-byte request name field holds a name that submit accepts:
// - a NUL inside the field, after 1 to 36 bytes of valid UTF-8;
// - a key name that parses back to the same name (so no "_", which splits key names);
// - no control character and none of < > : " / \ | ? * (so not cancel's wildcard "*");
// - no "..", no trailing dot or space;
// - not a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any letter case, with or
//   without an extension).
[[nodiscard]] bool IsAcceptableRequestName(wire::Bytes request_name_field) noexcept;

// True when the UTF-8 name, or its part before the first dot (trailing spaces dropped), is a
// device name: CON, PRN, AUX, NUL, COM1-COM9 or LPT1-LPT9 (with the superscript digits 1-3),
// in any letter case. Windows opens the device instead of a file or folder of that name.
[[nodiscard]] bool IsDeviceName(std::string_view name) noexcept;

}  // namespace qfu::store

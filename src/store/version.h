#pragma once
// Version texts of four dotted numbers ("%u.%u.%u.%u") and the verdict of comparing the
// version a request asks for with the version of the product already installed.
#include <array>
#include <cstdint>

#include "common/wide.h"

namespace qfu::store {

// What CompareInstalledVersion finds; the values are those the queue worker and start-up
// recovery act on.
enum class InstalledVersionResult : std::uint32_t {
  kNoRequestedVersion = 0,  // the installed version is known but the request names none
  kInstalledUnknown = 1,    // no installed version text (other product kind, nothing installed)
  kSame = 2,                // the requested version equals the installed one
  kOlder = 3,               // the requested version is older than the installed one
  kNewer = 4,               // the requested version is newer than the installed one
};

using VersionParts = std::array<std::uint32_t, 4>;

// Returns the four parts of text read as "%u.%u.%u.%u" reads them: each number may follow
// white space and a sign ('-' negates modulo 2^32), ends at the first non-digit, and
// saturates at 4294967295 when it does not fit 32 bits; a '.' must follow a number directly.
// Parts the text does not supply (fewer dots, another character, a NUL) are 0.
[[nodiscard]] VersionParts ParseVersion(WideStringView text) noexcept;

// Returns the verdict for the requested and installed version texts: kInstalledUnknown when
// installed is empty, else kNoRequestedVersion when requested is empty, else the order of
// the parsed parts, compared as unsigned numbers from the first to the fourth.
[[nodiscard]] InstalledVersionResult CompareVersionTexts(WideStringView requested,
                                                         WideStringView installed) noexcept;

}  // namespace qfu::store

#pragma once
// Resources of a program built beside the tests, read without running it.
#include <string>

namespace qfu::test {

// The application manifest (RT_MANIFEST 1) of the built program file_name, in lower case; an
// empty text, and a failure of the test, when it cannot be read.
[[nodiscard]] std::string LowerCaseManifest(const wchar_t* file_name);

}  // namespace qfu::test

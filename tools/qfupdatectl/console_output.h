#pragma once
// Writing UTF-8 lines to standard output and standard error, unbuffered, so that a reader of
// a pipe sees each line as soon as it is printed.
#include <string_view>

namespace qfu::ctl {

// Writes the text to standard output: as UTF-16 to a console, as UTF-8 bytes otherwise.
void PrintOut(std::string_view utf8);
// The same for standard error.
void PrintError(std::string_view utf8);

}  // namespace qfu::ctl

#pragma once
// The pure rules of a package download.
//
// The package file takes its name from the URL path as it stands in the URL (cracking decodes
// nothing), inside the request's package directory, so that name must be one plain file name
// there: never the directory itself, its parent, a path, a stream, or a device.
//
// A body that ends before the length its response announced was cut: the attempt fails, and
// the next one resumes where this one stopped. A body never runs past its announced length,
// and a range answer is taken only where its Content-Range fits the partial file.
#include <cstdint>
#include <optional>

#include "common/wide.h"

namespace qfu::package {

// Returns the package file name of url_path (the URL's path, without query): the text after
// its last "/" (all of it when there is none). Returns nothing when that text is not a plain
// file name:
// - empty (the path ends in "/"), ".", "..", or ending in "." or " " (Windows drops those, so
//   the file written would not be the one named);
// - holding "\" or ":" (a path, a drive or a stream), or one of them or "/" percent-encoded
//   (%5C, %3A, %2F in any letter case, which a server or a later decoding could take as such);
// - holding a control character (NUL included);
// - a device name (CON, NUL, COM1, LPT1, ... with or without an extension).
[[nodiscard]] std::optional<WideStringView> PackageFileName(WideStringView url_path);

// Returns the body length a Content-Length value announces: decimal digits only, with optional
// surrounding spaces, at most 2^64 - 1. Returns nothing for anything else.
[[nodiscard]] std::optional<std::uint64_t> ParseContentLength(WideStringView value);

// The Content-Range of a 206: "bytes first-last/total", the total "*" when unknown.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;
};

// Returns the range a Content-Range value of the form "bytes F-L/T" or "bytes F-L/*" names,
// F <= L and, with a total, L < T. Returns nothing for anything else.
[[nodiscard]] std::optional<ContentRange> ParseContentRange(WideStringView value);

// Returns N of a Content-Range value "bytes */N" (the answer to a range that cannot be
// satisfied: the whole size); nothing for anything else.
[[nodiscard]] std::optional<std::uint64_t> ParseUnsatisfiedRange(WideStringView value);

}  // namespace qfu::package

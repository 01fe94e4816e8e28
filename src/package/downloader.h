#pragma once
// One download attempt of a request's package: a single synchronous GET over HTTP or HTTPS
// (WinHTTP) into the request's package directory, continuing a partial file that an earlier
// attempt left there. When to try again is the queue worker's decision, never this one's.
#include <windows.h>

#include <span>

#include "store/process_objects.h"

namespace qfu::package {

// Fetches url (http or https, with an optional port and query) into the package directory of
// request_name, as the file named by the last segment of the URL path (the query is sent, but
// is never part of the name).
// - A partial file of 1 byte to below 4 GiB is continued with "Range: bytes=N-": a 206 body is
//   appended, a 200 body rewrites the file from its start. An empty or larger file is written
//   from its start without a Range header.
// - target_path receives the package's full path (always terminated) before the first body
//   byte is read, and on status 416 to a ranged request, where the file is left as it is and
//   taken as complete.
// - The user agent is objects.user_agent, copied under objects.user_agent_mutex (the built-in
//   default when the wait fails); objects.newer_windows selects the automatic proxy.
// Returns:
//   0      the body was received in full, or status 416 to a ranged request (the file is
//          taken as complete);
//   2      status 403, 404 or 410 (ERROR_FILE_NOT_FOUND): the server refuses or lacks it;
//   13     any other status but 200 and 206, or 416 to a request without Range
//          (ERROR_INVALID_DATA);
//   87     a URL without host or path, or whose file name is not a plain file name
//          (ERROR_INVALID_PARAMETER); nothing is created then;
//   206    the package path does not fit target_path (ERROR_FILENAME_EXCED_RANGE);
//   1920   the package file is a reparse point (ERROR_CANT_ACCESS_FILE);
//   12030  the body ended before the length the response announced
//          (ERROR_WINHTTP_CONNECTION_ERROR);
//   otherwise the Win32 or WinHTTP error of the step that failed.
// Whatever was written stays for the next attempt.
[[nodiscard]] DWORD DownloadPackage(ProcessObjects& objects, const wchar_t* request_name, const wchar_t* url,
                                    std::span<wchar_t> target_path);

}  // namespace qfu::package

#pragma once
// One download attempt of a request's package: a GET over HTTP or HTTPS (WinHTTP) into the
// request's package directory, continuing a partial file only when the request wrote it itself.
// When to try again is the queue worker's decision, never this one's.
#include <windows.h>

#include <span>

#include "store/agent_config.h"

namespace qfu::package {

// Chooses where request_name's download of url goes: the package directory of request_name
// (made and protected here), then the last segment of the URL path (the query is never part of
// the name). Writes the full path into package_path (always terminated; empty on failure).
// Returns 0; 87 for a URL without host or path, or whose file name is not a plain file name
// (ERROR_INVALID_PARAMETER; nothing is created then); 206 when the path does not fit
// package_path (ERROR_FILENAME_EXCED_RANGE); or the error of the directory's creation.
[[nodiscard]] DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url,
                                      std::span<wchar_t> package_path);

// Fetches url (http or https, with an optional port and query) into package_path, the path
// ChoosePackagePath gave for it.
// - resume: the file there is a partial file that this request wrote (an earlier attempt, or
//   the path its "TargetPath" names). Of 1 byte to 4 GiB - 1 it is continued with
//   "Range: bytes=N-". Without resume, or for any other size, the file is emptied before the
//   request is sent: whatever someone else left there is never taken as the package.
// - A 200, or a 206 to a request without Range, rewrites the file from its start; a 206 is
//   appended only when its Content-Range starts at N and its total, if any, is its end; a 416
//   counts as complete only when its "bytes */T" names the file's size. Any other 206 or 416
//   empties the file. A body is never written past its announced length, and without one the
//   file never grows past 4 GiB - 1.
// - The file is held without sharing while the body is written, and refused when it is a
//   reparse point or has more than one link.
// - The user agent is config.user_agent, copied under config.user_agent_mutex (the built-in
//   default when the wait fails); config.newer_windows selects the automatic proxy.
// - stop_event (manual-reset) ends every wait of the transfer: its request is closed, and the
//   file keeps what came for the next start.
// Returns:
//   0      the body was received in full, or a fitting 416 (the file is complete);
//   2      status 403, 404 or 410 (ERROR_FILE_NOT_FOUND): the server refuses or lacks it;
//   13     any other status but 200 and 206, a 206 or 416 that does not fit the file, or a 416
//          to a request without Range (ERROR_INVALID_DATA);
//   223    no length announced and the body would make the file larger than 4 GiB - 1
//          (ERROR_FILE_TOO_LARGE); the file is removed;
//   995    the stop event was set (ERROR_OPERATION_ABORTED);
//   1920   the package file is a reparse point or a hard link (ERROR_CANT_ACCESS_FILE);
//   12030  the body ended before its announced length (ERROR_WINHTTP_CONNECTION_ERROR);
//   otherwise the Win32 or WinHTTP error of the step that failed.
// Otherwise whatever was written stays for the next attempt.
[[nodiscard]] DWORD DownloadPackage(const AgentConfig& config, const wchar_t* url,
                                    const wchar_t* package_path, bool resume, HANDLE stop_event);

}  // namespace qfu::package

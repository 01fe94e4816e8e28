#include "package/downloader.h"

#include <strsafe.h>
#include <winhttp.h>

#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "common/handle.h"
#include "common/mutex_guard.h"
#include "package/download_rules.h"
#include "package/plain_file.h"
#include "package/working_directory.h"

namespace qfu::package {
namespace {

struct InternetHandleTraits {  // WinHTTP sessions, connections and requests
  using Type = HINTERNET;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

// Buffer sizes in UTF-16 units, terminator included.
constexpr DWORD kHostNameCapacity = 128;
constexpr DWORD kUrlPathCapacity = 260;
constexpr DWORD kExtraInfoCapacity = 260;
constexpr std::size_t kRequestTargetCapacity = 520;
constexpr std::size_t kRangeHeaderCapacity = 32;
constexpr std::size_t kContentLengthCapacity = 32;  // 20 digits at most, and some room

constexpr const wchar_t* kAcceptedType = L"application/octet-stream";
constexpr DWORD kRangeNotSatisfiable = 416;  // winhttp.h names no constant for it
// The Range header carries the resume position as a 32-bit number: a partial file of 4 GiB or
// more is downloaded anew.
constexpr LONGLONG kLargestResumableSize = 0xFFFFFFFF;
// A package file that is a reparse point: the attempt fails and is tried again later.
constexpr DWORD kReparsePointRefused = kReparseFileRefused;
// A body cut before its announced length: what WinHTTP reports for a connection reset.
constexpr DWORD kBodyCutShort = ERROR_WINHTTP_CONNECTION_ERROR;

struct CrackedUrl {
  wchar_t host[kHostNameCapacity] = {};
  wchar_t path[kUrlPathCapacity] = {};
  wchar_t extra_info[kExtraInfoCapacity] = {};  // query and fragment, possibly empty
  INTERNET_PORT port = 0;                       // the scheme's default when the URL names none
  bool secure = false;
};

// Splits url into host, path and extra info, each into its fixed buffer (nothing is decoded).
// Returns WinHttpCrackUrl's error, such as a component too long for its buffer; 87 when the
// URL has no host or no path.
[[nodiscard]] DWORD CrackUrl(const wchar_t* url, CrackedUrl& cracked) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = cracked.host;
  parts.dwHostNameLength = kHostNameCapacity;
  parts.lpszUrlPath = cracked.path;
  parts.dwUrlPathLength = kUrlPathCapacity;
  parts.lpszExtraInfo = cracked.extra_info;
  parts.dwExtraInfoLength = kExtraInfoCapacity;
  if (!::WinHttpCrackUrl(url, static_cast<DWORD>(std::wcslen(url)), 0, &parts)) return ::GetLastError();
  if (parts.dwHostNameLength == 0 || parts.dwUrlPathLength == 0) return ERROR_INVALID_PARAMETER;
  cracked.port = parts.nPort;
  cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return ERROR_SUCCESS;
}

// The user agent to send: objects.user_agent, or the built-in default when the mutex that
// guards it cannot be taken. A text too long for the buffer is cut, still terminated.
void CopyUserAgent(ProcessObjects& objects, wchar_t (&user_agent)[kUserAgentCapacity]) {
  (void)::StringCchCopyW(user_agent, kUserAgentCapacity, kDefaultUserAgent);
  const MutexGuard guard(objects.user_agent_mutex.get());
  if (guard.acquired()) (void)::StringCchCopyW(user_agent, kUserAgentCapacity, objects.user_agent);
}

// Opens the package file for writing, without sharing, with disposition (OPEN_EXISTING or
// CREATE_ALWAYS). A reparse point is opened as itself, never followed, and then refused: a
// link in the package directory must not lead the agent's writes elsewhere.
[[nodiscard]] DWORD OpenPackageFile(const std::wstring& path, DWORD disposition, UniqueFile& file) {
  return OpenPlainFile(path.c_str(), GENERIC_WRITE, 0, disposition, FILE_ATTRIBUTE_NORMAL, file);
}

// Opens a partial package file left by an earlier attempt and positions it at its end, which
// becomes the resume position. No file, or one that cannot be positioned or is too large to
// resume, leaves file closed: the download then starts afresh. Returns the refusal of a
// reparse point; 0 otherwise.
[[nodiscard]] DWORD OpenPartialFile(const std::wstring& path, UniqueFile& file, LONGLONG& resume_position) {
  resume_position = 0;
  const DWORD opened = OpenPackageFile(path, OPEN_EXISTING, file);
  if (opened == kReparsePointRefused) return opened;
  if (!file) return ERROR_SUCCESS;
  LARGE_INTEGER end = {};
  if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END) || end.QuadPart > kLargestResumableSize) {
    file.reset();
    return ERROR_SUCCESS;
  }
  resume_position = end.QuadPart;
  return ERROR_SUCCESS;
}

// Lowers the calling thread's processor, disk and memory priority for its lifetime, so that a
// download does not disturb the logged-on user.
class BackgroundMode {
 public:
  BackgroundMode() noexcept
      : entered_(::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != FALSE) {}
  BackgroundMode(const BackgroundMode&) = delete;
  BackgroundMode& operator=(const BackgroundMode&) = delete;
  ~BackgroundMode() {
    if (entered_) (void)::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
  }

 private:
  bool entered_;
};

// The body length the response announced; nothing when it announced none (or nonsense).
[[nodiscard]] std::optional<std::uint64_t> AnnouncedLength(HINTERNET request) {
  wchar_t value[kContentLengthCapacity] = {};
  DWORD size = sizeof(value);
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  return ParseContentLength(value);
}

// Streams the response body into file, chunk by chunk as WinHTTP reports bytes available.
// Returns 0 once the body is complete, else the error of the call that failed (8 when a chunk
// cannot be allocated, kBodyCutShort when the body ended before its announced length).
[[nodiscard]] DWORD ReceiveBody(HINTERNET request, HANDLE file) {
  const std::optional<std::uint64_t> announced = AnnouncedLength(request);
  std::uint64_t received = 0;
  const BackgroundMode background;
  for (;;) {
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, &available)) return ::GetLastError();
    if (available == 0) break;
    const std::unique_ptr<BYTE[]> chunk(new (std::nothrow) BYTE[available]());
    if (!chunk) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD read = 0;
    if (!::WinHttpReadData(request, chunk.get(), available, &read)) return ::GetLastError();
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(file, chunk.get(), read, &written, nullptr)) return ::GetLastError();
    received += read;
    ::Sleep(0);  // give up the rest of the time slice between chunks
  }
  // WinHTTP may report the end of a connection closed early as the end of the body.
  return announced && received < *announced ? kBodyCutShort : ERROR_SUCCESS;
}

}  // namespace

DWORD DownloadPackage(ProcessObjects& objects, const wchar_t* request_name, const wchar_t* url,
                      std::span<wchar_t> target_path) {
  if (target_path.empty()) return ERROR_INVALID_PARAMETER;
  target_path[0] = L'\0';
  if (request_name == nullptr || url == nullptr) return ERROR_INVALID_PARAMETER;

  wchar_t user_agent[kUserAgentCapacity];
  CopyUserAgent(objects, user_agent);

  CrackedUrl cracked;
  if (const DWORD error = CrackUrl(url, cracked); error != ERROR_SUCCESS) return error;
  const auto file_name = PackageFileName(cracked.path);
  if (!file_name) return ERROR_INVALID_PARAMETER;

  std::wstring package_path;
  if (const DWORD error = PreparePackageDirectory(objects, request_name, package_path); error != ERROR_SUCCESS) {
    return error;
  }
  package_path.append(file_name->data(), file_name->size());
  // A cut path would name another file to verify, install and remove later.
  if (package_path.size() >= target_path.size()) return ERROR_FILENAME_EXCED_RANGE;

  // Declared in the reverse of the clean-up order: the file closes first, the session last.
  UniqueInternet session;
  UniqueInternet connection;
  UniqueInternet request;
  UniqueFile file;

  LONGLONG resume_position = 0;
  if (const DWORD error = OpenPartialFile(package_path, file, resume_position); error != ERROR_SUCCESS) return error;

  // Synchronous; the automatic proxy where Windows offers it (6.3 and later).
  session.reset(::WinHttpOpen(user_agent,
                              objects.newer_windows ? WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
                                                    : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return ::GetLastError();
  connection.reset(::WinHttpConnect(session.get(), cracked.host, cracked.port, 0));
  if (!connection) return ::GetLastError();

  // The query travels with the path, so that the server sees the whole URL.
  wchar_t request_target[kRequestTargetCapacity] = {};
  (void)::StringCchCopyW(request_target, kRequestTargetCapacity, cracked.path);
  (void)::StringCchCatW(request_target, kRequestTargetCapacity, cracked.extra_info);
  const wchar_t* accept_types[] = {kAcceptedType, nullptr};
  request.reset(::WinHttpOpenRequest(connection.get(), L"GET", request_target, nullptr, WINHTTP_NO_REFERER,
                                     accept_types, cracked.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return ::GetLastError();

  bool ranged = false;
  if (file && resume_position > 0) {
    wchar_t range[kRangeHeaderCapacity] = {};
    (void)::StringCchPrintfW(range, kRangeHeaderCapacity, L"Range: bytes=%u-", static_cast<unsigned>(resume_position));
    // Length -1: the line is zero-terminated.
    ranged = ::WinHttpAddRequestHeaders(request.get(), range, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
    if (!ranged) file.reset();  // without the header the partial file is of no use: start afresh
  }

  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    return ::GetLastError();
  }
  DWORD status = 0;
  DWORD status_size = sizeof(status);
  if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
    return ::GetLastError();
  }
  switch (status) {
    case HTTP_STATUS_OK:
    case HTTP_STATUS_PARTIAL_CONTENT:
      break;
    case kRangeNotSatisfiable:
      // The partial file holds the whole package already. Without a Range sent there is no
      // such file: the answer makes no sense.
      if (!ranged) return ERROR_INVALID_DATA;
      (void)::StringCchCopyW(target_path.data(), target_path.size(), package_path.c_str());
      return ERROR_SUCCESS;
    case HTTP_STATUS_FORBIDDEN:
    case HTTP_STATUS_NOT_FOUND:
    case HTTP_STATUS_GONE:
      return ERROR_FILE_NOT_FOUND;
    default:
      return ERROR_INVALID_DATA;
  }

  if (!file) {
    if (const DWORD error = OpenPackageFile(package_path, CREATE_ALWAYS, file); error != ERROR_SUCCESS) return error;
  } else if (ranged && status == HTTP_STATUS_OK) {
    // The server ignored the Range and sends the whole package: rewrite the file from its
    // start instead of appending the package to its own beginning.
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
      return ::GetLastError();
    }
  }
  (void)::StringCchCopyW(target_path.data(), target_path.size(), package_path.c_str());
  return ReceiveBody(request.get(), file.get());
}

}  // namespace qfu::package

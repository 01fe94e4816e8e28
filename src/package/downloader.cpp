#include "package/downloader.h"

#include <strsafe.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "common/handle.h"
#include "common/last_error.h"
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
constexpr std::size_t kContentRangeCapacity = 80;   // "bytes " and three numbers of 20 digits
// What one read asks for at most.
constexpr DWORD kChunkBytes = 64 * 1024;

constexpr const wchar_t* kAcceptedType = L"application/octet-stream";
constexpr DWORD kRangeNotSatisfiable = 416;  // winhttp.h names no constant for it
// The Range header carries the resume position as a 32-bit number: a partial file of 4 GiB or
// more is downloaded anew, and a body of no announced length may not make the file larger.
constexpr std::uint64_t kLargestResumableSize = 0xFFFFFFFF;
// A body cut before its announced length: what WinHTTP reports for a connection reset.
constexpr DWORD kBodyCutShort = ERROR_WINHTTP_CONNECTION_ERROR;
// A 206 or 416 that does not fit the partial file, like any status we cannot use.
constexpr DWORD kAnswerDoesNotFit = ERROR_INVALID_DATA;
constexpr DWORD kStopped = ERROR_OPERATION_ABORTED;

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
  if (!::WinHttpCrackUrl(url, static_cast<DWORD>(std::wcslen(url)), 0, &parts)) return LastError();
  if (parts.dwHostNameLength == 0 || parts.dwUrlPathLength == 0) return ERROR_INVALID_PARAMETER;
  cracked.port = parts.nPort;
  cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return ERROR_SUCCESS;
}

// The user agent to send: config.user_agent, or the built-in default when the mutex that
// guards it cannot be taken. A text too long for the buffer is cut, still terminated.
void CopyUserAgent(const AgentConfig& config, wchar_t (&user_agent)[kUserAgentCapacity]) {
  (void)::StringCchCopyW(user_agent, kUserAgentCapacity, kDefaultUserAgent);
  const MutexGuard guard(config.user_agent_mutex.get());
  if (guard.acquired()) (void)::StringCchCopyW(user_agent, kUserAgentCapacity, config.user_agent);
}

// Opens the package file for writing, without sharing, creating it when missing but never
// truncating it on the way in: a reparse point or a hard link is refused before a byte of
// what it leads to changes.
[[nodiscard]] DWORD OpenPackageFile(const wchar_t* path, UniqueFile& file) {
  return OpenPlainFile(path, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, file);
}

// Empties the open file and leaves its pointer at the start.
[[nodiscard]] DWORD EmptyFile(HANDLE file) {
  if (!::SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) {
    return LastError();
  }
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

// What the request's status callback shares with the downloading thread. The request is
// asynchronous so that the thread waits on each step together with the stop event; a stop
// closes the request and leaves at once, while WinHTTP may still complete a step into this
// state (its read buffer included). So it is counted: one reference for the thread, one for
// the callback, which drops it at the request's last notification (HANDLE_CLOSING).
class Transfer {
 public:
  static Transfer* Create() {
    auto* transfer = new (std::nothrow) Transfer;
    if (transfer != nullptr && (!transfer->completed_ || !transfer->buffer)) {
      delete transfer;
      return nullptr;
    }
    return transfer;
  }
  void AddReference() noexcept { references_.fetch_add(1); }
  void Release() noexcept {
    if (references_.fetch_sub(1) == 1) delete this;
  }

  // The callback's side: one step completed (bytes: what DATA_AVAILABLE or READ_COMPLETE
  // reported), or failed with error.
  void Complete(DWORD bytes, DWORD error) noexcept {
    bytes_ = bytes;
    error_ = error;
    ::SetEvent(completed_.get());
  }

  // The thread's side, after starting one step: waits for its completion or the stop. Returns
  // 0 with bytes set, the step's WinHTTP error, or kStopped.
  [[nodiscard]] DWORD Await(HANDLE stop_event, DWORD& bytes) noexcept {
    const HANDLE waits[2] = {completed_.get(), stop_event};
    const DWORD wait = ::WaitForMultipleObjects(stop_event != nullptr ? 2 : 1, waits, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0 + 1) return kStopped;
    if (wait != WAIT_OBJECT_0) return wait == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE;
    bytes = bytes_;
    return error_;
  }

  std::unique_ptr<BYTE[]> buffer{new (std::nothrow) BYTE[kChunkBytes]};

 private:
  Transfer() = default;
  ~Transfer() = default;

  UniqueHandle completed_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // auto-reset
  std::atomic<long> references_{1};
  DWORD bytes_ = 0;  // written by the callback before the event is set, read after the wait
  DWORD error_ = ERROR_SUCCESS;
};

struct TransferRelease {
  void operator()(Transfer* transfer) const noexcept { transfer->Release(); }
};
using TransferReference = std::unique_ptr<Transfer, TransferRelease>;

VOID CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
  auto* const transfer = reinterpret_cast<Transfer*>(context);
  if (transfer == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      transfer->Complete(0, ERROR_SUCCESS);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      transfer->Complete(length >= sizeof(DWORD) ? *static_cast<const DWORD*>(information) : 0,
                         ERROR_SUCCESS);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      transfer->Complete(length, ERROR_SUCCESS);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      transfer->Complete(0, length >= sizeof(WINHTTP_ASYNC_RESULT)
                                ? static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError
                                : ERROR_INVALID_DATA);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      transfer->Release();  // the callback's reference: nothing follows this notification
      break;
    default:
      break;
  }
}

// Hands the callback its reference to transfer, for every notification of request.
[[nodiscard]] DWORD WatchRequest(HINTERNET request, Transfer& transfer) {
  auto context = reinterpret_cast<DWORD_PTR>(&transfer);
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
    return LastError();
  }
  transfer.AddReference();
  if (::WinHttpSetStatusCallback(request, OnRequestStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD error = LastError();
    transfer.Release();  // no notification will come
    return error;
  }
  return ERROR_SUCCESS;
}

// A response header as text; nothing when absent (or longer than N - 1 units).
template <std::size_t N>
[[nodiscard]] std::optional<std::wstring> HeaderText(HINTERNET request, DWORD header) {
  wchar_t value[N] = {};
  DWORD size = sizeof(value);
  if (!::WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  return std::wstring(value);
}

// The body length the response announced; nothing when it announced none (or nonsense).
[[nodiscard]] std::optional<std::uint64_t> AnnouncedLength(HINTERNET request) {
  const auto value = HeaderText<kContentLengthCapacity>(request, WINHTTP_QUERY_CONTENT_LENGTH);
  return value ? ParseContentLength(*value) : std::nullopt;
}

// Where the body goes: the file's size it starts from, and the size it ends at (nothing when
// the response announced no length).
struct BodyPlace {
  std::uint64_t start = 0;
  std::optional<std::uint64_t> end;
};

// The place of a 206 body answering "Range: bytes=resume_position-": its Content-Range must
// start there, its total (when given) must be its end, and its announced length its size.
[[nodiscard]] std::optional<BodyPlace> RangeBodyPlace(HINTERNET request, std::uint64_t resume_position) {
  const auto text = HeaderText<kContentRangeCapacity>(request, WINHTTP_QUERY_CONTENT_RANGE);
  const auto range = text ? ParseContentRange(*text) : std::nullopt;
  if (!range || range->first != resume_position || (range->total && *range->total != range->last + 1)) {
    return std::nullopt;
  }
  const std::uint64_t size = range->last - range->first + 1;
  if (const auto announced = AnnouncedLength(request); announced && *announced != size) return std::nullopt;
  return BodyPlace{resume_position, range->last + 1};
}

// Streams the response body into file from place.start, chunk by chunk as WinHTTP reports
// bytes available, never past place.end, nor past kLargestResumableSize without one. Returns 0
// once the body is complete, else the error of the step that failed (kBodyCutShort when the
// body ended before its end, ERROR_FILE_TOO_LARGE, kStopped).
[[nodiscard]] DWORD ReceiveBody(HINTERNET request, Transfer& transfer, HANDLE stop_event, HANDLE file,
                                const BodyPlace& place) {
  const std::uint64_t limit = place.end.value_or(kLargestResumableSize);
  std::uint64_t size = place.start;
  const BackgroundMode background;
  while (size < limit || !place.end) {
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, nullptr)) return LastError();
    if (const DWORD error = transfer.Await(stop_event, available); error != ERROR_SUCCESS) return error;
    if (available == 0) break;
    if (size >= limit) return ERROR_FILE_TOO_LARGE;  // no length announced, and more is coming
    const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>({available, kChunkBytes, limit - size}));
    DWORD read = 0;
    if (!::WinHttpReadData(request, transfer.buffer.get(), wanted, nullptr)) return LastError();
    if (const DWORD error = transfer.Await(stop_event, read); error != ERROR_SUCCESS) return error;
    if (read == 0) break;
    read = std::min(read, wanted);
    DWORD written = 0;
    if (!::WriteFile(file, transfer.buffer.get(), read, &written, nullptr)) return LastError();
    size += read;
  }
  // WinHTTP may report the end of a connection closed early as the end of the body.
  return place.end && size < *place.end ? kBodyCutShort : ERROR_SUCCESS;
}

}  // namespace

DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url, std::span<wchar_t> package_path) {
  if (package_path.empty()) return ERROR_INVALID_PARAMETER;
  package_path[0] = L'\0';
  if (request_name == nullptr || url == nullptr) return ERROR_INVALID_PARAMETER;
  CrackedUrl cracked;
  if (const DWORD error = CrackUrl(url, cracked); error != ERROR_SUCCESS) return error;
  const auto file_name = PackageFileName(cracked.path);
  if (!file_name) return ERROR_INVALID_PARAMETER;

  std::wstring path;
  if (const DWORD error = PreparePackageDirectory(request_name, path); error != ERROR_SUCCESS) return error;
  path.append(file_name->data(), file_name->size());
  // A cut path would name another file to verify, install and remove later.
  if (path.size() >= package_path.size()) return ERROR_FILENAME_EXCED_RANGE;
  (void)::StringCchCopyW(package_path.data(), package_path.size(), path.c_str());
  return ERROR_SUCCESS;
}

DWORD DownloadPackage(const AgentConfig& config, const wchar_t* url, const wchar_t* package_path, bool resume,
                      HANDLE stop_event) {
  if (url == nullptr || package_path == nullptr || package_path[0] == L'\0') return ERROR_INVALID_PARAMETER;
  wchar_t user_agent[kUserAgentCapacity];
  CopyUserAgent(config, user_agent);
  CrackedUrl cracked;
  if (const DWORD error = CrackUrl(url, cracked); error != ERROR_SUCCESS) return error;

  const TransferReference transfer(Transfer::Create());
  if (!transfer) return ERROR_NOT_ENOUGH_MEMORY;
  // Declared in the reverse of the clean-up order: the file closes first, the session last.
  UniqueInternet session;
  UniqueInternet connection;
  UniqueInternet request;
  UniqueFile file;

  // Opened before the request goes out, and emptied unless it is this request's own partial
  // file of a size that a Range can continue.
  if (const DWORD error = OpenPackageFile(package_path, file); error != ERROR_SUCCESS) return error;
  LARGE_INTEGER end = {};
  if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END)) return LastError();
  std::uint64_t resume_position = resume ? static_cast<std::uint64_t>(end.QuadPart) : 0;
  if (resume_position > kLargestResumableSize) resume_position = 0;
  if (resume_position == 0) {
    if (const DWORD error = EmptyFile(file.get()); error != ERROR_SUCCESS) return error;
  }

  // Asynchronous, so that every wait ends on the stop; the automatic proxy where Windows
  // offers it (6.3 and later).
  session.reset(::WinHttpOpen(
      user_agent,
      config.newer_windows ? WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (!session) return LastError();
  connection.reset(::WinHttpConnect(session.get(), cracked.host, cracked.port, 0));
  if (!connection) return LastError();

  // The query travels with the path, so that the server sees the whole URL.
  wchar_t request_target[kRequestTargetCapacity] = {};
  (void)::StringCchCopyW(request_target, kRequestTargetCapacity, cracked.path);
  (void)::StringCchCatW(request_target, kRequestTargetCapacity, cracked.extra_info);
  const wchar_t* accept_types[] = {kAcceptedType, nullptr};
  request.reset(::WinHttpOpenRequest(connection.get(), L"GET", request_target, nullptr, WINHTTP_NO_REFERER,
                                     accept_types, cracked.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return LastError();
  if (const DWORD error = WatchRequest(request.get(), *transfer); error != ERROR_SUCCESS) return error;

  bool ranged = false;
  if (resume_position > 0) {
    wchar_t range[kRangeHeaderCapacity] = {};
    (void)::StringCchPrintfW(range, kRangeHeaderCapacity, L"Range: bytes=%u-",
                             static_cast<unsigned>(resume_position));
    // Length -1: the line is zero-terminated.
    ranged =
        ::WinHttpAddRequestHeaders(request.get(), range, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
    if (!ranged) {  // without the header the partial file is of no use: start afresh
      resume_position = 0;
      if (const DWORD error = EmptyFile(file.get()); error != ERROR_SUCCESS) return error;
    }
  }

  DWORD ignored = 0;
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            reinterpret_cast<DWORD_PTR>(transfer.get()))) {
    return LastError();
  }
  if (const DWORD error = transfer->Await(stop_event, ignored); error != ERROR_SUCCESS) return error;
  if (!::WinHttpReceiveResponse(request.get(), nullptr)) return LastError();
  if (const DWORD error = transfer->Await(stop_event, ignored); error != ERROR_SUCCESS) return error;

  DWORD status = 0;
  DWORD status_size = sizeof(status);
  if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
    return LastError();
  }
  std::optional<BodyPlace> place;
  switch (status) {
    case HTTP_STATUS_PARTIAL_CONTENT:
      if (ranged) {
        place = RangeBodyPlace(request.get(), resume_position);
        break;
      }
      [[fallthrough]];  // an answer to a request without Range: the whole package
    case HTTP_STATUS_OK:
      // Also when the server ignored the Range: the file is rewritten from its start instead
      // of holding the package after its own beginning.
      if (const DWORD error = EmptyFile(file.get()); error != ERROR_SUCCESS) return error;
      place = BodyPlace{0, AnnouncedLength(request.get())};
      break;
    case kRangeNotSatisfiable:
      // Complete only when the server's whole size is the partial file's. Without a Range sent
      // the answer makes no sense.
      if (ranged) {
        const auto total = HeaderText<kContentRangeCapacity>(request.get(), WINHTTP_QUERY_CONTENT_RANGE);
        if (total && ParseUnsatisfiedRange(*total) == resume_position) return ERROR_SUCCESS;
      }
      break;
    case HTTP_STATUS_FORBIDDEN:
    case HTTP_STATUS_NOT_FOUND:
    case HTTP_STATUS_GONE:
      return ERROR_FILE_NOT_FOUND;
    default:
      return kAnswerDoesNotFit;
  }
  if (!place) {
    // A range answer that does not fit what we hold: the next attempt starts afresh.
    const DWORD error = EmptyFile(file.get());
    return error != ERROR_SUCCESS ? error : kAnswerDoesNotFit;
  }
  const DWORD received = ReceiveBody(request.get(), *transfer, stop_event, file.get(), *place);
  if (received == ERROR_FILE_TOO_LARGE) {
    file.reset();
    (void)::DeleteFileW(package_path);
  }
  return received;
}

}  // namespace qfu::package

#include "support/http_server.h"

#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "common/utf.h"
#include "package/downloader.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"

namespace qfu::test {
namespace {

constexpr DWORD kSocketTimeoutMs = 20000;  // a client that neither sends nor reads
constexpr std::size_t kMaxRequestHead = 65536;

// Sends all of bytes; false when the connection fails.
bool SendAll(SOCKET connection, std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = ::send(connection, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [header, value] : headers) {
    if (_stricmp(header.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return std::nullopt;
}

TestHttpServer::TestHttpServer()
    : ending_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), listener_(INVALID_SOCKET) {
  WSADATA data = {};
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    failure_ = "WSAStartup failed";
    return;
  }
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  listener_ = listener;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, SOMAXCONN) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    failure_ = "the server cannot listen: error " + std::to_string(::WSAGetLastError());
    return;
  }
  port_ = ::ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

TestHttpServer::~TestHttpServer() {
  ::SetEvent(ending_.get());
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
  for (std::thread& connection : connections_) connection.join();
  ::WSACleanup();
}

void TestHttpServer::Accept() {
  while (::WaitForSingleObject(ending_.get(), 0) == WAIT_TIMEOUT) {
    fd_set waiting;
    FD_ZERO(&waiting);
    FD_SET(static_cast<SOCKET>(listener_), &waiting);
    timeval poll = {0, 50000};
    if (::select(0, &waiting, nullptr, nullptr, &poll) != 1) continue;
    const SOCKET connection = ::accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) continue;
    const std::lock_guard lock(mutex_);
    connections_.emplace_back([this, connection] { Answer(connection); });
  }
}

void TestHttpServer::Answer(std::uintptr_t socket) {
  const SOCKET connection = socket;
  for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    ::setsockopt(connection, SOL_SOCKET, option, reinterpret_cast<const char*>(&kSocketTimeoutMs),
                 sizeof(kSocketTimeoutMs));
  }
  std::string head;
  char chunk[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    const int got = ::recv(connection, chunk, sizeof(chunk), 0);
    if (got <= 0) break;
    head.append(chunk, static_cast<std::size_t>(got));
  }
  // The request line "GET <target> HTTP/1.1", then "Name: value" lines.
  RecordedRequest request;
  std::istringstream lines(head.substr(0, head.find("\r\n\r\n")));
  std::string line, method;
  std::getline(lines, line);
  std::istringstream(line) >> method >> request.target;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (const std::size_t colon = line.find(": "); colon != std::string::npos)
      request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  const std::string path = request.target.substr(0, request.target.find('?'));
  const std::string range = request.Header("Range").value_or("");
  std::string rule = "serve";
  std::shared_ptr<const std::string> file;
  {
    const std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    if (const auto r = rules_.find(path); r != rules_.end()) rule = r->second;
    if (const auto f = files_.find(path); f != files_.end()) file = f->second;
  }

  int status = 200;
  std::string extra;
  std::string_view body;
  std::size_t count = std::string::npos;  // of the body's bytes, those sent
  std::optional<std::size_t> announced;   // the Content-Length, when other than the body's
  unsigned long long asked = 0;
  int parsed = 0;
  const bool ranged = rule != "ignore-range" &&
                      std::sscanf(range.c_str(), "bytes=%llu-%n", &asked, &parsed) == 1 &&
                      static_cast<std::size_t>(parsed) == range.size();
  if (rule.starts_with("status:")) {
    status = std::stoi(rule.substr(7));
    body = "refused by rule\n";
  } else if (!file) {
    status = 404;
    body = "no such package\n";
  } else if (ranged && asked >= file->size()) {
    status = 416;
    extra = "Content-Range: bytes */" + std::to_string(file->size()) + "\r\n";
  } else {
    std::size_t start = 0;
    if (ranged) {
      status = 206;
      start = static_cast<std::size_t>(asked) + (rule == "range-late");
      const std::size_t total = file->size() + (rule == "range-total");
      extra = "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(file->size() - 1) + "/" +
              std::to_string(total) + "\r\n";
    }
    body = std::string_view(*file).substr(start);
    if (rule == "stall") count = body.size() / 2;
    if (rule == "long-body") {
      body = body.substr(0, 4000);
      announced = 1000;
    }
  }
  count = std::min(count, body.size());
  if (rule != "no-length") announced = announced.value_or(body.size());
  std::string answer =
      "HTTP/1.1 " + std::to_string(status) + " Rule\r\nContent-Type: application/octet-stream\r\n";
  if (announced) answer += "Content-Length: " + std::to_string(*announced) + "\r\n";
  answer += "Connection: close\r\n" + extra + "\r\n";
  if (SendAll(connection, answer) && SendAll(connection, body.substr(0, count))) sent_ += count;
  if (rule == "stall") ::WaitForSingleObject(ending_.get(), INFINITE);
  ::shutdown(connection, SD_SEND);
  ::closesocket(connection);
}

std::wstring TestHttpServer::Url(std::wstring_view path_and_query) const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path_and_query);
}

void TestHttpServer::AddFile(const std::wstring& name, std::string_view bytes) {
  const std::lock_guard lock(mutex_);
  files_["/" + WideToUtf8(name)] = std::make_shared<const std::string>(bytes);
}

void TestHttpServer::SetRule(const std::string& url_path, const std::string& rule) {
  const std::lock_guard lock(mutex_);
  rules_[url_path] = rule;
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

void TestHttpServer::ClearRequests() {
  const std::lock_guard lock(mutex_);
  requests_.clear();
}

TestDownloads::TestDownloads(const std::wstring& request_name)
    : request_name_(request_name), directory_(ProgramDataFolder() + L"\\Quillfern\\" + request_name + L"\\") {
  config.user_agent_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Clear();
}

TestDownloads::~TestDownloads() { Clear(); }

void TestDownloads::Clear() const {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void TestDownloads::Leave(const std::wstring& file_name, const std::string& bytes) const {
  std::filesystem::create_directories(directory_);
  std::ofstream(std::filesystem::path(Path(file_name)), std::ios::binary | std::ios::trunc) << bytes;
}

DWORD TestDownloads::Download(const std::wstring& url, bool resume) {
  DWORD result = 0xDEADBEEF;
  target_path_.assign(kTargetPathUnits, L'?');
  const bool returned = RunTogether(
      1,
      [&](std::size_t) {
        result = package::ChoosePackagePath(request_name_.c_str(), url.c_str(), target_path_);
        if (result == ERROR_SUCCESS) {
          result =
              package::DownloadPackage(config, url.c_str(), target_path_.c_str(), resume, stop_event.get());
        }
      },
      kDownloadTimeoutMs);
  EXPECT_TRUE(returned) << "the download did not return within " << kDownloadTimeoutMs << " ms";
  return result;
}

std::string PackageBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 20240601;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> FileBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

testing::AssertionResult SameFile(const std::optional<std::string>& actual,
                                  const std::optional<std::string>& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  if (!actual || !expected)
    return testing::AssertionFailure() << (actual ? "a file where none belongs" : "no file");
  const auto [differs, ignored] =
      std::mismatch(actual->begin(), actual->end(), expected->begin(), expected->end());
  return testing::AssertionFailure() << actual->size() << " bytes instead of " << expected->size()
                                     << ", first difference at offset " << (differs - actual->begin());
}

}  // namespace qfu::test

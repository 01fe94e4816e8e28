#pragma once
// What the queue worker asks of the world, one narrow port per concern, so that tests drive
// a request through every stage in milliseconds on fakes. The production implementations
// (worker/production_ports.h) call the package layer and Windows.
#include <windows.h>

#include <span>

#include "common/clock.h"
#include "worker/client_api.h"

namespace qfu::worker {

// One download attempt of a request's package (package::DownloadPackage in production).
class Downloader {
 public:
  virtual ~Downloader() = default;
  // Fetches url into the package directory of request_name, resuming a partial file, and
  // writes the package's full path into target_path (always terminated) before the first body
  // byte. Returns 0, 2 when the server refused or lacks the package, or another Win32 error
  // worth a later attempt.
  [[nodiscard]] virtual DWORD DownloadPackage(const wchar_t* request_name, const wchar_t* url,
                                              std::span<wchar_t> target_path) = 0;
};

// The Windows Installer run of a verified package (package::RunInstaller in production).
class Installer {
 public:
  virtual ~Installer() = default;
  // Runs the installer silently on package_path with the request's installer arguments
  // (null or empty: none) and returns its exit code (1641 reported as 0), or the Win32 error
  // when it could not be started.
  [[nodiscard]] virtual DWORD RunInstaller(const wchar_t* package_path, const wchar_t* arguments) = 0;
};

// The worker's waits: a pause that a stop cuts short.
class Pause {
 public:
  virtual ~Pause() = default;
  // Waits milliseconds, alertably; returns false, at once, when the stop event is set before
  // or during the wait.
  [[nodiscard]] virtual bool Sleep(DWORD milliseconds) = 0;
  // True when the stop event is set (a zero-time alertable check).
  [[nodiscard]] virtual bool StopRequested() = 0;
};

// Everything the worker uses besides the process-wide objects. Each must outlive the worker.
struct WorkerPorts {
  Clock* clock = nullptr;
  ClientApi* client_api = nullptr;
  Downloader* downloader = nullptr;
  Installer* installer = nullptr;
  Pause* pause = nullptr;
};

}  // namespace qfu::worker

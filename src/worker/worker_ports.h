#pragma once
// What the queue worker asks of the world, one narrow port per concern, so that tests drive
// a request through every stage in milliseconds on fakes. The production implementations
// (worker/production_ports.h) call the package layer and Windows.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>

#include "common/clock.h"
#include "common/handle.h"
#include "common/wide.h"
#include "package/signature.h"
#include "wire/message.h"
#include "worker/client_api.h"
#include "worker/install_window.h"

namespace qfu::worker {

// What DownloadPackage returns when the service's stop ended the transfer.
inline constexpr DWORD kDownloadStopped = ERROR_OPERATION_ABORTED;

// One download attempt of a request's package (package::ChoosePackagePath and
// package::DownloadPackage in production).
class Downloader {
 public:
  virtual ~Downloader() = default;
  // Writes the full path that request_name's package from url gets into package_path (always
  // terminated), making its directory. Returns 0, or a Win32 error worth a later attempt.
  [[nodiscard]] virtual DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url,
                                                std::span<wchar_t> package_path) = 0;
  // Fetches url into package_path; resume: the file there is a partial file this request wrote,
  // to be continued (else it is emptied first). Returns 0, 2 when the server refused or lacks
  // the package, kDownloadStopped when the service stops, or another Win32 error worth a later
  // attempt.
  [[nodiscard]] virtual DWORD DownloadPackage(const wchar_t* url, const wchar_t* package_path,
                                              bool resume) = 0;
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
  // Waits for the interval, alertably; returns false, at once, when the stop event is set
  // before or during the wait.
  [[nodiscard]] virtual bool Sleep(Milliseconds interval) = 0;
  // True when the stop event is set (a zero-time alertable check).
  [[nodiscard]] virtual bool StopRequested() = 0;
};

// Windows' own state: its update agent and the sessions on the machine
// (worker/system_state.h in production). Every failure answers so that the request proceeds.
class SystemState {
 public:
  virtual ~SystemState() = default;
  // True when Windows Update reports that it waits for a restart.
  [[nodiscard]] virtual bool RestartPending() = 0;
  // True when the Windows Update installer reports that it is busy.
  [[nodiscard]] virtual bool InstallerBusy() = 0;
  // The number of active or disconnected sessions with a user name; 0 when they cannot be
  // listed.
  [[nodiscard]] virtual DWORD LoggedOnUserCount() = 0;
};

// The UI pipe (worker/ui_channel.h in production): one prompt out, one message-box result back.
class UiChannel {
 public:
  virtual ~UiChannel() = default;
  // Sends text (cut to 511 units) and caption (cut to 127) with the message-box style and the
  // time limit in milliseconds (0: none), and waits for the answer: the UI's 4-byte result, or
  // 2 when no UI process of the product takes the prompt at once, it answers with fewer than 4
  // bytes, or the service stops before the answer comes.
  [[nodiscard]] virtual std::uint32_t SendUiPrompt(WideStringView text, WideStringView caption,
                                                   std::uint32_t style, std::uint32_t timeout_ms) = 0;
};

// The restart of the machine (worker/machine_restart.h in production).
class MachineRestart {
 public:
  virtual ~MachineRestart() = default;
  // Starts a planned restart for an installation; 0 when it was initiated, else the Win32
  // error.
  [[nodiscard]] virtual DWORD RestartMachine() = 0;
};

// Holds a package between its verification and its installation.
class PackageLock {
 public:
  virtual ~PackageLock() = default;
  // Opens the package at path so that nobody can write, delete or rename it while held is
  // open (never through a reparse point). Returns 0, or the Win32 error of the open.
  [[nodiscard]] virtual DWORD Lock(const wchar_t* path, UniqueFile& held) = 0;
};

// The SHA-256 of a held package, for requests that pin their package's digest
// (package::HashOpenFile in production).
class PackageHasher {
 public:
  virtual ~PackageHasher() = default;
  // Writes the SHA-256 of the whole file behind held into digest. Returns 0, or the error of
  // the read or of the hash.
  [[nodiscard]] virtual DWORD HashPackage(HANDLE held, wire::Sha256Digest& digest) = 0;
};

// Where a request stands against its install window now (EvaluateInstallWindow in
// production; tests set the window directly).
using WindowEvaluator = std::function<InstallWindow(const wire::RequestMessage& message, Clock& clock)>;

// Everything the worker uses besides the process-wide objects. Each must outlive the worker.
struct WorkerPorts {
  Clock* clock = nullptr;
  ClientApi* client_api = nullptr;
  Downloader* downloader = nullptr;
  Installer* installer = nullptr;
  Pause* pause = nullptr;
  SystemState* system_state = nullptr;
  UiChannel* ui = nullptr;
  MachineRestart* restart = nullptr;
  const package::SignatureVerifier* signature = nullptr;
  PackageLock* package_lock = nullptr;
  WindowEvaluator evaluate_window;  // empty: EvaluateInstallWindow
  PackageHasher* package_hasher = nullptr;
};

}  // namespace qfu::worker

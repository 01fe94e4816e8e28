#include "worker/production_ports.h"

#include "package/downloader.h"
#include "package/installer.h"
#include "package/package_digest.h"
#include "package/plain_file.h"
#include "package/signature.h"
#include "worker/client_api.h"
#include "worker/machine_restart.h"
#include "worker/system_state.h"
#include "worker/ui_channel.h"

namespace qfu::worker {

DWORD PackageDownloader::ChoosePackagePath(const wchar_t* request_name, const wchar_t* url,
                                           std::span<wchar_t> package_path) {
  return package::ChoosePackagePath(request_name, url, package_path);
}

DWORD PackageDownloader::DownloadPackage(const wchar_t* url, const wchar_t* package_path, bool resume) {
  return package::DownloadPackage(config_, url, package_path, resume, stop_event_);
}

DWORD PackageInstaller::RunInstaller(const wchar_t* package_path, const wchar_t* arguments) {
  running_ = true;
  const DWORD exit_code = package::RunInstaller(package_path, arguments);
  running_ = false;
  return exit_code;
}

DWORD SystemPackageLock::Lock(const wchar_t* path, UniqueFile& held) {
  return package::LockPackage(path, held);
}

DWORD SystemPackageHasher::HashPackage(HANDLE held, wire::Sha256Digest& digest) {
  return package::HashOpenFile(held, digest);
}

DWORD WINAPI ProductionQueueWorkerThread(LPVOID argument) {
  auto* args = static_cast<QueueWorkerArgs*>(argument);
  ProcessObjects& objects = *args->objects;
  LibraryClientApi client_api;
  SystemPause pause(args->stop_event);
  PackageDownloader downloader(*args->config, args->stop_event);
  PackageInstaller installer(args->installer_running);
  WindowsSystemState system_state;
  PipeUiChannel ui(args->stop_event);
  SystemMachineRestart restart;
  const package::SystemSignatureVerifier signature;
  SystemPackageLock package_lock;
  SystemPackageHasher package_hasher;
  const WorkerPorts ports{objects.clock, &client_api, &downloader, &installer,    &pause, &system_state,
                          &ui,           &restart,    &signature,  &package_lock, {},     &package_hasher};
  QueueWorker worker(objects, *args->config, args->stop_event, ports);
  return worker.Run();
}

}  // namespace qfu::worker

#include "worker/production_ports.h"

#include "package/downloader.h"
#include "package/installer.h"
#include "worker/client_api.h"

namespace qfu::worker {

DWORD PackageDownloader::DownloadPackage(const wchar_t* request_name, const wchar_t* url,
                                         std::span<wchar_t> target_path) {
  return package::DownloadPackage(objects_, request_name, url, target_path);
}

DWORD PackageInstaller::RunInstaller(const wchar_t* package_path, const wchar_t* arguments) {
  return package::RunInstaller(package_path, arguments);
}

DWORD WINAPI ProductionQueueWorkerThread(LPVOID argument) {
  const auto* args = static_cast<const QueueWorkerArgs*>(argument);
  ProcessObjects& objects = *args->objects;
  LibraryClientApi client_api;
  SystemPause pause(args->stop_event);
  PackageDownloader downloader(objects);
  PackageInstaller installer;
  const WorkerPorts ports{objects.clock, &client_api, &downloader, &installer, &pause};
  QueueWorker worker(objects, args->stop_event, ports);
  return worker.Run();
}

}  // namespace qfu::worker

#include "wire/update_status.h"

namespace qfu::wire {

const char* UpdateStatusName(UpdateStatus status) noexcept {
  switch (status) {
    case kCompleted:
      return "Completed";
    case kQueued:
      return "Queued";
    case kDownloading:
      return "Downloading";
    case kVerifying:
      return "Verifying";
    case kInstalling:
      return "Installing";
    case kPostponed:
      return "Postponed";
    case kCancelRequested:
      return "CancelRequested";
    case kPrompting:
      return "Prompting";
    case kDownloaded:
      return "Downloaded";
    case kReadyToInstall:
      return "ReadyToInstall";
    case kRestartPending:
      return "RestartPending";
    case kDeferred:
      return "Deferred";
    case kDownloadRetry:
      return "DownloadRetry";
    case kVerificationFailed:
      return "VerificationFailed";
    case kInstallFailed:
      return "InstallFailed";
    case kCancelled:
      return "Cancelled";
    case kDownloadFailed:
      return "DownloadFailed";
    case kConsentTimedOut:
      return "ConsentTimedOut";
    default:
      return nullptr;
  }
}

}  // namespace qfu::wire

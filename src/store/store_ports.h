#pragma once
// What the store asks of the layers above it: telling a listener about a status change, and
// removing a request's package files. The service host wires the production implementations
// (the status pipe, the package directory); tests wire their own or none.
#include <cstdint>

#include "wire/message.h"

namespace qfu::store {

class StatusReporter {
 public:
  virtual ~StatusReporter() = default;
  // Told after every status write of the request in message, whatever the write gave. Must
  // not take the store's mutexes.
  virtual void StatusChanged(wire::Bytes message, wire::UpdateStatus status,
                             std::uint32_t detail) noexcept = 0;
};

class PackageFileRemover {
 public:
  virtual ~PackageFileRemover() = default;
  // Deletes the package at target_path (a full path; empty: nothing); with
  // remove_log_and_directory also the installer log beside it and the package directory.
  virtual void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) noexcept = 0;
};

}  // namespace qfu::store

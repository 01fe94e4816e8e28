#pragma once
// Harness for tests of the agent's pipes: the messages they send and the reply fields they
// read, a client that writes without waiting for replies, and a pipe's DACL as a client reads it.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle.h"
#include "wire/message_writer.h"

namespace qfu::test {

using Reply = std::vector<std::uint8_t>;

// Fields of a reply; 0 or empty when the reply is too short to hold them.
[[nodiscard]] wire::ResultCode ResultOf(const Reply& reply);
[[nodiscard]] wire::UpdateStatus StatusOf(const Reply& reply);
[[nodiscard]] std::uint32_t ErrorOf(const Reply& reply);
[[nodiscard]] std::uint32_t LengthOf(const Reply& reply);
[[nodiscard]] std::uint32_t InstanceOf(const Reply& reply);
[[nodiscard]] std::string NameOf(const Reply& reply);

// A message of that type naming the request (a query unless told otherwise).
[[nodiscard]] wire::MessageWriter Query(std::string_view name, std::uint32_t type = wire::kQueryRequest);
[[nodiscard]] wire::MessageWriter Enumerate(std::uint32_t index);
[[nodiscard]] wire::MessageWriter Cancel(std::string_view name);
// Queries the request on the pipe until it reads status or timeout_ms have passed; returns
// the last status read.
[[nodiscard]] wire::UpdateStatus WaitForStatus(const wchar_t* pipe_name, std::string_view name,
                                               wire::UpdateStatus status, DWORD timeout_ms);

// A client that writes without waiting for the service to read: a message longer than the
// pipe's buffer is only taken as the service reads it, and a refused one never is.
class RawPipe {
 public:
  // Connects with the rights of the product's clients, waiting a bounded time while the pipe
  // is busy, and switches to message read mode; valid() says whether it did.
  explicit RawPipe(const wchar_t* name);
  RawPipe(const RawPipe&) = delete;
  RawPipe& operator=(const RawPipe&) = delete;
  ~RawPipe();  // cancels what is still pending and waits for it

  [[nodiscard]] bool valid() const { return pipe_.valid(); }
  // Starts writing the message (which may be empty) as one pipe message; does not wait.
  void StartWrite(wire::Bytes message);
  // Reads one reply message within timeout_ms; empty when none came.
  [[nodiscard]] Reply Read(DWORD timeout_ms);
  // Waits at most timeout_ms for every write to end; true when all were taken in full.
  [[nodiscard]] bool WritesTaken(DWORD timeout_ms);

 private:
  struct Operation;
  bool WaitFor(Operation& operation, DWORD timeout_ms);

  UniqueFile pipe_;
  std::vector<std::unique_ptr<Operation>> writes_;
};

// One entry of a DACL: the trustee's SID as text ("S-1-1-0"), the access mask, the entry's
// type and flags.
struct AccessEntry {
  std::wstring sid;
  DWORD mask = 0;
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  bool operator==(const AccessEntry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const AccessEntry& entry);

// Reads the pipe's DACL through a client handle opened with READ_CONTROL besides the rights
// of the product's clients. Returns 0 or the Win32 error.
[[nodiscard]] DWORD ReadPipeDacl(const wchar_t* pipe_name, std::vector<AccessEntry>& entries);
// Reads the DACL of the kernel object behind a handle opened with READ_CONTROL.
[[nodiscard]] DWORD ReadDacl(HANDLE object, std::vector<AccessEntry>& entries);

}  // namespace qfu::test

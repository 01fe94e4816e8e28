#include "support/pipe_harness.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "common/bytes.h"
#include "common/utf.h"
#include "qfupdatectl/pipe_client.h"
#include "support/process.h"
#include "support/service_control.h"
#include "wire/pipes.h"

namespace qfu::test {

wire::ResultCode ResultOf(const Reply& reply) {
  return wire::ResultCode{ReadU32(reply, wire::kResultCodeAt)};
}
wire::UpdateStatus StatusOf(const Reply& reply) {
  return wire::UpdateStatus{ReadU32(reply, wire::kUpdateStatusAt)};
}
std::uint32_t ErrorOf(const Reply& reply) { return ReadU32(reply, wire::kSystemErrorCodeAt); }
std::uint32_t LengthOf(const Reply& reply) { return ReadU32(reply, wire::kLengthAt); }
std::uint32_t InstanceOf(const Reply& reply) { return ReadU32(reply, wire::kRecordInstanceNumberAt); }
std::string NameOf(const Reply& reply) {
  return std::string(FieldText(
      Slice(std::span<const std::uint8_t>(reply), wire::kRecordRequestNameAt, wire::kRequestNameSize)));
}

wire::MessageWriter Query(std::string_view name, std::uint32_t type) {
  wire::MessageWriter message(type);
  message.Name(name);
  return message;
}
wire::UpdateStatus WaitForStatus(const wchar_t* pipe_name, std::string_view name, wire::UpdateStatus status,
                                 DWORD timeout_ms) {
  wire::UpdateStatus last{};
  (void)WaitUntil([&] { return (last = StatusOf(SendOnce(pipe_name, Query(name).span()))) == status; },
                  timeout_ms);
  return last;
}

wire::MessageWriter Enumerate(std::uint32_t index) {
  wire::MessageWriter message(wire::kEnumerateRequests);
  message.U32(wire::kRequestFlagsAt, index);  // the enumeration index travels in the flags field
  return message;
}
wire::MessageWriter Cancel(std::string_view name) { return Query(name, wire::kCancelRequest); }

// One overlapped read or write: its buffer and OVERLAPPED live until it has ended.
struct RawPipe::Operation {
  explicit Operation(wire::Bytes data)
      : bytes(data.begin(), data.end()), event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    bytes.reserve(1);  // a zero-length message is still written from a valid buffer
    overlapped.hEvent = event.get();
  }
  Reply bytes;
  UniqueHandle event;
  OVERLAPPED overlapped = {};
  bool done = false;
  bool succeeded = false;
  DWORD transferred = 0;
};

RawPipe::RawPipe(const wchar_t* name) {
  // One instance waits for a client at a time: wait while others take theirs.
  const ULONGLONG deadline = ::GetTickCount64() + kReplyTimeoutMs;
  do {
    pipe_.reset(
        ::CreateFileW(name, kPipeClientAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  } while (!pipe_ && ::GetLastError() == ERROR_PIPE_BUSY && ::GetTickCount64() < deadline &&
           (::WaitNamedPipeW(name, 1000) || ::GetLastError() == ERROR_SEM_TIMEOUT));
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (pipe_ && !::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) pipe_.reset();
}

RawPipe::~RawPipe() {
  if (pipe_) ::CancelIo(pipe_.get());
  for (auto& write : writes_) (void)WaitFor(*write, INFINITE);
}

void RawPipe::StartWrite(wire::Bytes message) {
  auto write = std::make_unique<Operation>(message);
  if (!::WriteFile(pipe_.get(), write->bytes.data(), static_cast<DWORD>(write->bytes.size()), nullptr,
                   &write->overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    write->done = true;
  }
  writes_.push_back(std::move(write));
}

Reply RawPipe::Read(DWORD timeout_ms) {
  Operation read(Reply(ctl::kReplyBufferSize));
  if (!::ReadFile(pipe_.get(), read.bytes.data(), static_cast<DWORD>(read.bytes.size()), nullptr,
                  &read.overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return {};
  }
  if (!WaitFor(read, timeout_ms)) {
    ::CancelIoEx(pipe_.get(), &read.overlapped);
    (void)WaitFor(read, INFINITE);
    return {};
  }
  read.bytes.resize(read.transferred);
  return read.succeeded ? read.bytes : Reply();
}

bool RawPipe::WritesTaken(DWORD timeout_ms) {
  bool taken = true;
  for (auto& write : writes_) {
    taken =
        WaitFor(*write, timeout_ms) && write->succeeded && write->transferred == write->bytes.size() && taken;
  }
  return taken;
}

bool RawPipe::WaitFor(Operation& operation, DWORD timeout_ms) {
  if (operation.done) return true;
  if (::WaitForSingleObject(operation.event.get(), timeout_ms) != WAIT_OBJECT_0) return false;
  operation.succeeded =
      ::GetOverlappedResult(pipe_.get(), &operation.overlapped, &operation.transferred, TRUE);
  operation.done = true;
  return true;
}

std::ostream& operator<<(std::ostream& out, const AccessEntry& entry) {
  char mask[16] = {};
  std::snprintf(mask, sizeof(mask), "0x%08lX", entry.mask);
  return out << "{" << WideToUtf8(entry.sid) << ", " << mask << ", type " << int{entry.type} << ", flags "
             << int{entry.flags} << "}";
}

DWORD ReadPipeDacl(const wchar_t* pipe_name, std::vector<AccessEntry>& entries) {
  entries.clear();
  UniqueFile pipe(
      ::CreateFileW(pipe_name, kPipeClientAccess | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe) return ::GetLastError();
  return ReadDacl(pipe.get(), entries);
}

DWORD ReadDacl(HANDLE object, std::vector<AccessEntry>& entries) {
  entries.clear();
  PACL dacl = nullptr;
  UniqueLocalMemory descriptor;
  PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &raw_descriptor);
  descriptor.reset(raw_descriptor);
  if (error != ERROR_SUCCESS) return error;
  if (dacl == nullptr) return ERROR_INVALID_SECURITY_DESCR;  // no DACL: everyone may do anything
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* ace = nullptr;
    if (!::GetAce(dacl, index, &ace)) return ::GetLastError();
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AccessEntry entry;
    entry.type = header->AceType;
    entry.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Allowed and denied entries share their layout: mask, then the SID.
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      entry.mask = allowed->Mask;
      LPWSTR text = nullptr;
      if (!::ConvertSidToStringSidW(reinterpret_cast<PSID>(&allowed->SidStart), &text))
        return ::GetLastError();
      entry.sid = text;
      ::LocalFree(text);
    }
    entries.push_back(std::move(entry));
  }
  return ERROR_SUCCESS;
}

}  // namespace qfu::test

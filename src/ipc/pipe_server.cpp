#include "ipc/pipe_server.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "common/bytes.h"
#include "common/dacl_security.h"
#include "common/handle.h"
#include "common/last_error.h"
#include "ipc/dispatcher.h"
#include "package/signature.h"

namespace qfu::ipc {
namespace {

using namespace wire;

// Everyone on the info pipe: read and write messages, and set the handle's state
// (FILE_WRITE_ATTRIBUTES) so that a client can switch to message read mode. Not
// FILE_CREATE_PIPE_INSTANCE: a user's own instance of the pipe would answer other users'
// clients; not WRITE_DAC or WRITE_OWNER: nobody but the service may change the pipe's DACL.
constexpr DWORD kInfoPipeEveryoneAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
// LocalSystem and Administrators keep full control. The file rights rather than GENERIC_ALL:
// Windows maps generic rights when the pipe is created and Wine keeps them as given, so
// only the specific rights read back the same on both.
constexpr DWORD kInfoPipeAdministratorAccess = FILE_ALL_ACCESS;
// Message mode both ways, blocking, local clients only.
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
// How long start-up looks for a listening instance of a pipe name before creating its own:
// a name that nobody serves fails at once, and a listening instance answers at once.
constexpr DWORD kServedNameProbeMs = 1;
// Each message is first read into a buffer of this size on the connection's stack: every
// message of the product's clients fits, and only a longer one is measured and allocated.
constexpr DWORD kFirstReadSize = 4096;
// The stack each connection thread reserves, instead of the program's default: an idle client
// then holds little more than the pages its thread touched. The deepest call on it is the
// request pipe's caller check: WinVerifyTrust on a signed program went 15.5 KiB deep under
// Wine, the first loading of its DLLs included; the connection's own frames (the first read
// buffer, the reply, the dispatch) add about 6 KiB. The rest is margin for Windows' own
// verification, which may go deeper. (Wine gives every thread at least 1 MiB of stack and
// about 1 MiB of its own, whatever is asked.)
constexpr SIZE_T kConnectionStackReservation = 128 * 1024;

const wchar_t* const kCreatePipeCall = L"CreateNamedPipe";

// The info pipe's security: a DACL of three entries (Everyone, LocalSystem, Administrators).
// The ACL and the descriptor live as long as the listener.
struct InfoPipeSecurity : DaclSecurity {
  [[nodiscard]] FailedCall Build() {
    constexpr WELL_KNOWN_SID_TYPE kTrustees[] = {WinWorldSid, WinLocalSystemSid, WinBuiltinAdministratorsSid};
    constexpr DWORD kRights[] = {kInfoPipeEveryoneAccess, kInfoPipeAdministratorAccess,
                                 kInfoPipeAdministratorAccess};
    constexpr std::size_t kCount = std::size(kTrustees);
    BYTE sids[kCount][SECURITY_MAX_SID_SIZE] = {};
    DaclEntry entries[kCount] = {};
    for (std::size_t i = 0; i < kCount; ++i) {
      DWORD sid_size = SECURITY_MAX_SID_SIZE;
      if (!::CreateWellKnownSid(kTrustees[i], nullptr, sids[i], &sid_size)) {
        return {LastError(), L"CreateWellKnownSid"};
      }
      entries[i] = {sids[i], kRights[i]};
    }
    const wchar_t* failed_call = nullptr;
    if (const DWORD error = DaclSecurity::Build(entries, failed_call); error != ERROR_SUCCESS) {
      return {error, failed_call};
    }
    return {};
  }
};

// Owned by the connection thread from its start; ending the connection flushes,
// disconnects and closes the instance.
struct Connection {
  ProcessObjects* objects;
  AgentConfig* config;
  PipeKind kind;
  UniqueFile pipe;

  ~Connection() {
    if (!pipe) return;
    ::FlushFileBuffers(pipe.get());
    ::DisconnectNamedPipe(pipe.get());
  }
};

// True when the client's executable is signed by the product's publisher. On failure, error
// receives what the failing step left: its Win32 error, or the signature check's verdict (an
// HRESULT such as 0x800B0004), so that a refused caller is told why. The error is captured
// here, before any handle is closed, rather than read back from the thread afterwards.
bool PassesCallerCheck(HANDLE pipe, DWORD& error) {
  ULONG process_id = 0;
  error = ::GetNamedPipeClientProcessId(pipe, &process_id) ? package::VerifyProcessPublisher(process_id)
                                                           : ::GetLastError();
  return error == ERROR_SUCCESS;
}

// Writes the first `length` bytes of the reply; true when all of them went out.
bool WriteReply(HANDLE pipe, MutableBytes reply) {
  const DWORD length = StatusRecord(reply).length();
  if (length > reply.size()) return false;
  DWORD written = 0;
  return ::WriteFile(pipe, reply.data(), length, &written, nullptr) && written == length;
}

// Writes the reply as an error reply and ends the connection; an error code of 0 ends it
// without a reply.
void SendErrorReply(HANDLE pipe, MutableBytes reply, ResultCode result_code, DWORD error) {
  if (error == ERROR_SUCCESS) return;
  StatusRecord record(reply);
  record.set_result_code(result_code);
  record.set_system_error_code(error);
  (void)WriteReply(pipe, reply);
}

// Why a connection ends before its next message is dispatched: the error reply's result code
// and system error code. An error of 0 ends the connection without a reply.
struct ConnectionEnd {
  ResultCode result_code;
  DWORD error;
};

// A failed read or peek ends the connection with 0x80000003 and its error; a client that
// left (ERROR_BROKEN_PIPE) ends it quietly.
ConnectionEnd ReadFailed(DWORD error) {
  return {result::kCannotCarryOut, error == ERROR_BROKEN_PIPE ? ERROR_SUCCESS : error};
}

// Waits for the next message with a blocking read, which costs no processor time however
// long the client stays idle, and reads it whole: into first_read when it fits, else into
// longer, allocated once the message's full size is known. Returns nothing when message
// holds the message, or how the connection ends.
std::optional<ConnectionEnd> ReadMessage(HANDLE pipe, std::span<std::uint8_t, kFirstReadSize> first_read,
                                         std::unique_ptr<std::uint8_t[]>& longer, Bytes& message) {
  DWORD read = 0;
  if (::ReadFile(pipe, first_read.data(), kFirstReadSize, &read, nullptr)) {
    // A zero-length message reads as 0 bytes and is refused as shorter than the header.
    message = Bytes(first_read.data(), read);
    return std::nullopt;
  }
  if (const DWORD error = ::GetLastError(); error != ERROR_MORE_DATA) return ReadFailed(error);
  DWORD left = 0;
  if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, &left)) return ReadFailed(::GetLastError());
  // Refused from its size, before anything is allocated: the info pipe is open to every
  // local user, and none of them may make the service allocate without bound.
  const std::size_t size = std::size_t{read} + left;
  if (size > kMaxMessageSize) return ConnectionEnd{result::kBadMessage, kFramingErrorCode};
  longer.reset(new (std::nothrow) std::uint8_t[size]);
  if (!longer) return ConnectionEnd{result::kCannotCarryOut, ERROR_OUTOFMEMORY};
  std::copy_n(first_read.data(), read, longer.get());
  // A read of 0 bytes would wait for the next message: read the rest only when there is one.
  DWORD rest = 0;
  if (left != 0 && (!::ReadFile(pipe, longer.get() + read, left, &rest, nullptr) || rest != left)) {
    return ReadFailed(::GetLastError());
  }
  message = Bytes(longer.get(), size);
  return std::nullopt;
}

// Serves one connection until the client leaves or an error reply ends it.
void ServeConnection(Connection& connection) {
  const HANDLE pipe = connection.pipe.get();
  std::array<std::uint8_t, kFirstReadSize> first_read;
  std::uint8_t reply_buffer[kReplyCapacity] = {};
  const MutableBytes reply(reply_buffer);
  StatusRecord record(reply);
  for (;;) {
    // Each reply starts from a cleared record: an error reply carries its own message's
    // instance number, or 0, and nothing of the previous reply.
    record.Clear();
    record.set_result_code(result::kBadMessage);

    std::unique_ptr<std::uint8_t[]> longer;
    Bytes bytes;
    if (const std::optional<ConnectionEnd> end = ReadMessage(pipe, first_read, longer, bytes)) {
      SendErrorReply(pipe, reply, end->result_code, end->error);
      return;
    }

    if (DWORD refused = ERROR_SUCCESS;
        connection.kind == PipeKind::kRequest && !PassesCallerCheck(pipe, refused)) {
      SendErrorReply(pipe, reply, result::kBadMessage, refused);
      return;
    }
    if (!PassesFramingCheck(bytes)) {
      SendErrorReply(pipe, reply, result::kBadMessage, kFramingErrorCode);
      return;
    }
    const RequestMessage request(bytes);
    record.set_instance_number(request.instance_number());
    if (connection.kind == PipeKind::kInfo && !wire::IsInfoPipeMessageType(request.type())) {
      SendErrorReply(pipe, reply, result::kBadMessage, ERROR_ACCESS_DENIED);
      return;
    }
    Dispatch(*connection.objects, *connection.config, bytes, reply);
    longer.reset();

    if (!WriteReply(pipe, reply)) {
      const DWORD error = ::GetLastError();
      record.set_system_error_code(error);
      (void)WriteReply(pipe, reply);
      return;
    }
  }
}

DWORD WINAPI ConnectionThread(LPVOID argument) {
  std::unique_ptr<Connection> connection(static_cast<Connection*>(argument));
  ServeConnection(*connection);
  return 0;
}

}  // namespace

// One pipe's listener: made by PreparePipeListener, owned by the listener thread from its
// start.
struct Listener {
  ProcessObjects* objects;
  AgentConfig* config;
  PipeKind kind;
  std::wstring pipe_name;
  InfoPipeSecurity security;                  // built for the info pipe only
  SECURITY_ATTRIBUTES* attributes = nullptr;  // the info pipe's security, or the default
  UniqueFile first_instance;
};

void ListenerDeleter::operator()(Listener* listener) const noexcept { delete listener; }

namespace {

// Creates an instance of the listener's pipe; open_flags adds to the duplex access.
UniqueFile CreateInstance(const Listener& listener, DWORD open_flags = 0) {
  return UniqueFile(::CreateNamedPipeW(listener.pipe_name.c_str(), PIPE_ACCESS_DUPLEX | open_flags, kPipeMode,
                                       PIPE_UNLIMITED_INSTANCES, wire::kPipeOutBufferSize,
                                       wire::kPipeInBufferSize, 0, listener.attributes));
}

// Creates the pipe's first instance into listener.first_instance. FILE_FLAG_FIRST_PIPE_INSTANCE
// refuses a name that another process serves already, whose instances would answer the
// agent's clients. Wine does not enforce the flag, so the squatter is also looked for where
// Wine shows it: a listening instance before ours, or more instances than ours after it. Both
// are refused as Windows refuses the flag, with ERROR_ACCESS_DENIED, and what was created is
// closed.
FailedCall CreateFirstInstance(Listener& listener) {
  if (::WaitNamedPipeW(listener.pipe_name.c_str(), kServedNameProbeMs))
    return {ERROR_ACCESS_DENIED, kCreatePipeCall};
  UniqueFile instance = CreateInstance(listener, FILE_FLAG_FIRST_PIPE_INSTANCE);
  if (!instance) return {LastError(), kCreatePipeCall};
  DWORD instances = 0;
  if (!::GetNamedPipeHandleState(instance.get(), nullptr, &instances, nullptr, nullptr, nullptr, 0)) {
    return {LastError(), L"GetNamedPipeHandleState"};
  }
  if (instances > 1) return {ERROR_ACCESS_DENIED, kCreatePipeCall};
  listener.first_instance = std::move(instance);
  return {};
}

// Hands the connected instance to a connection thread of its own; closes it when the
// thread cannot be started.
void StartConnection(const Listener& listener, UniqueFile instance) {
  auto* connection =
      new (std::nothrow) Connection{listener.objects, listener.config, listener.kind, UniqueFile()};
  if (connection == nullptr) return;
  connection->pipe = std::move(instance);
  // STACK_SIZE_PARAM_IS_A_RESERVATION: the size is what the thread reserves; only what it
  // touches is committed.
  UniqueHandle thread(::CreateThread(nullptr, kConnectionStackReservation, ConnectionThread, connection,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread) {
    connection->pipe.reset();  // close the instance without the disconnect dance
    delete connection;
  }
}

DWORD WINAPI ListenerThread(LPVOID argument) {
  const PreparedListener listener(static_cast<Listener*>(argument));
  UniqueFile instance = std::move(listener->first_instance);
  while (instance) {
    const bool connected =
        ::ConnectNamedPipe(instance.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    // The next instance exists before the connected one is handed over and can be closed:
    // while the listener runs, a client never finds the name without an instance
    // (ERROR_FILE_NOT_FOUND). When it cannot be created, this connection is the last.
    UniqueFile next = CreateInstance(*listener);
    if (connected) StartConnection(*listener, std::move(instance));
    instance = std::move(next);  // closes an instance that did not connect
  }
  return 0;
}

}  // namespace

FailedCall PreparePipeListener(ProcessObjects& objects, AgentConfig& config, PipeKind kind,
                               const std::wstring& pipe_name, PreparedListener& prepared) {
  prepared.reset();
  PreparedListener listener(new (std::nothrow) Listener{&objects, &config, kind, pipe_name, {}, nullptr, {}});
  if (!listener) return {ERROR_OUTOFMEMORY, L"operator new"};
  if (kind == PipeKind::kInfo) {
    if (const FailedCall failure = listener->security.Build(); failure.failed()) return failure;
    listener->attributes = &listener->security.attributes;
  }
  if (const FailedCall failure = CreateFirstInstance(*listener); failure.failed()) return failure;
  prepared = std::move(listener);
  return {};
}

FailedCall StartPipeListener(PreparedListener prepared) {
  if (!prepared) return {ERROR_INVALID_PARAMETER, L"CreateThread"};
  // The error is taken before the listener and its first instance are closed.
  UniqueHandle thread(::CreateThread(nullptr, 0, ListenerThread, prepared.get(), 0, nullptr));
  if (!thread) return {LastError(), L"CreateThread"};
  (void)prepared.release();  // the listener thread owns it now
  return {};
}

}  // namespace qfu::ipc

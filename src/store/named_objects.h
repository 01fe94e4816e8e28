#pragma once
// Names of the agent's named kernel objects. They guard the request store:
//   queue mutex     the request list (links; due tick and install-now flag of listed records)
//   cancel mutex    makes cancel, start-up recovery and the worker's verify-install-restart
//                   stage exclusive of each other
//   registry mutex  each open, read or write, and close of a request key
//   user-agent mutex the user-agent buffer and the write of "UserAgent" (taken alone)
// Lock order: cancel mutex, then queue mutex, then registry mutex. No path takes them in
// another order, and every wait is without time limit.

namespace qfu::store {

inline constexpr const wchar_t* kQueueMutexName = L"Global\\QFUpdateQueueMutex";
inline constexpr const wchar_t* kCancelMutexName = L"Global\\QFUpdateCancelMutex";
inline constexpr const wchar_t* kRegistryMutexName = L"Global\\QFUpdateRegistryMutex";
inline constexpr const wchar_t* kUpdateEventName = L"Global\\QFUpdateEvent";  // auto-reset
inline constexpr const wchar_t* kUserAgentMutexName = L"Global\\QFUUAMutex";

}  // namespace qfu::store

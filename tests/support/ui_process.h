#pragma once
// qfupdate-ui run by a test: on a UI pipe name of the test's own, recording every prompt it
// answers in a log file of the test's own.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scratch_directory.h"

namespace qfu::test {

// A UI pipe name of the test's own that nobody serves: name and this process's identifier.
[[nodiscard]] std::wstring TestUiPipeName(const std::wstring& name);

// True when a message box can be shown: always on Windows; under Wine only with an X display.
// Probing with a window of the test's own would start Wine's desktop process, which inherits
// the test's output and keeps its reader waiting.
[[nodiscard]] bool CanShowMessageBoxes();

// The copy of qfupdate-ui signed by the product's publisher, the only one the agent believes.
inline constexpr const wchar_t* kSignedUi = L"signed\\qfupdate-ui.exe";

class UiProcess {
 public:
  // Starts qfupdate-ui (kSignedUi) with --pipe TestUiPipeName(name), --log and the arguments,
  // and waits at most 10 s until it serves; serving() says whether it does.
  UiProcess(const std::wstring& name, const std::wstring& arguments);
  // The same on pipe_name (the agent's own UI pipe, for tests of the running service), with
  // the built copy program (BuiltProgram's file name).
  UiProcess(const std::wstring& name, const std::wstring& arguments, const std::wstring& pipe_name,
            const wchar_t* program = kSignedUi);

  [[nodiscard]] bool serving() const { return serving_; }
  [[nodiscard]] const std::wstring& pipe_name() const { return pipe_name_; }
  // The log's lines as written (without their newlines); none when there is no log yet.
  [[nodiscard]] std::vector<std::string> LogLines() const;
  // Waits at most timeout_ms for the program to end (terminating it then).
  [[nodiscard]] ProcessResult Finish(DWORD timeout_ms) { return process_->Finish(timeout_ms); }

 private:
  std::wstring pipe_name_;
  ScratchDirectory directory_;
  std::wstring log_path_;
  std::unique_ptr<BackgroundProcess> process_;
  bool serving_ = false;
};

// Occupies every listening instance of a pipe with a client that sends nothing, so that the
// next client finds it busy.
class PipeOccupier {
 public:
  // Connects up to max_clients clients to pipe_name; count() says how many connected.
  PipeOccupier(const std::wstring& pipe_name, std::size_t max_clients);
  [[nodiscard]] std::size_t count() const { return clients_.size(); }

 private:
  std::vector<UniqueFile> clients_;
};

}  // namespace qfu::test

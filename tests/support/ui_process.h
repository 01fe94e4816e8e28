#pragma once
// qfupdate-ui run by a test: on the pipe the test names, recording every prompt it
// answers in a log file of the test's own.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scratch_directory.h"

namespace qfu::test {

// The copy of qfupdate-ui signed by the product's publisher, the only one the agent believes.
inline constexpr const wchar_t* kSignedUi = L"signed\\qfupdate-ui.exe";

class UiProcess {
 public:
  // Starts the built copy program of qfupdate-ui with --pipe pipe_name, --log and the arguments,
  // and waits at most 10 s until it serves; serving() says whether it does.
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

}  // namespace qfu::test

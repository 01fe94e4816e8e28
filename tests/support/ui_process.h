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

class UiProcess {
 public:
  // Starts the copy of qfupdate-ui signed by the publisher with --pipe pipe_name, --log and the
  // arguments, and waits at most 10 s until it serves; serving() says whether it does.
  UiProcess(const std::wstring& name, const std::wstring& arguments, const std::wstring& pipe_name);

  [[nodiscard]] bool serving() const { return serving_; }
  // The log's lines as written (without their newlines); none when there is no log yet.
  [[nodiscard]] std::vector<std::string> LogLines() const;

 private:
  ScratchDirectory directory_;
  std::wstring log_path_;
  std::unique_ptr<BackgroundProcess> process_;
  bool serving_ = false;
};

}  // namespace qfu::test

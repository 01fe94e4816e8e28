#include "support/ui_process.h"

#include <sstream>

#include "support/http_server.h"

namespace qfu::test {
constexpr DWORD kStartTimeoutMs = 10000;

UiProcess::UiProcess(const std::wstring& name, const std::wstring& arguments, const std::wstring& pipe_name)
    : directory_(L"ui_" + name) {
  if (!directory_.Make()) return;
  log_path_ = directory_.path() + L"\\prompts.log";
  process_ = std::make_unique<BackgroundProcess>(BuiltCommand(
      L"signed\\qfupdate-ui.exe", L"--pipe " + pipe_name + L" --log \"" + log_path_ + L"\" " + arguments));
  serving_ = process_->WaitForOutput("qfupdate-ui: serving", kStartTimeoutMs);
}

std::vector<std::string> UiProcess::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream text(FileBytes(log_path_).value_or(""));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

}  // namespace qfu::test

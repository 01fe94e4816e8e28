#include "support/ui_process.h"

#include "common/handle.h"

namespace qfu::test {
namespace {

constexpr DWORD kStartTimeoutMs = 10000;

}  // namespace

UiProcess::UiProcess(const std::wstring& name, const std::wstring& arguments, const std::wstring& pipe_name,
                     const wchar_t* program)
    : pipe_name_(pipe_name), directory_(L"ui_" + name) {
  if (!directory_.Make()) return;
  log_path_ = directory_.path() + L"\\prompts.log";
  process_ = std::make_unique<BackgroundProcess>(
      BuiltCommand(program, L"--pipe " + pipe_name_ + L" --log \"" + log_path_ + L"\" " + arguments));
  serving_ = process_->WaitForOutput("qfupdate-ui: serving", kStartTimeoutMs);
}

std::vector<std::string> UiProcess::LogLines() const {
  std::vector<std::string> lines;
  const UniqueFile file(::CreateFileW(log_path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return lines;
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace qfu::test

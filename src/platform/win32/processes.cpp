// The Windows process backend.
#include "platform/win32/processes.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/win32/wide_text.h"

namespace flotilla::platform {

bool Win32Processes::StartAndWait(const std::string& file, const std::string& parameters,
                                  const std::string& directory, uint32_t wait_ms, bool& finished) {
  finished = false;
  const std::wstring wide_file = WideFromUtf8(file);
  const std::wstring wide_parameters = WideFromUtf8(parameters);
  const std::wstring wide_directory = WideFromUtf8(directory);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  // The handle to wait on; no error boxes of the shell's own (the callers decide what to show).
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = nullptr;
  info.lpFile = wide_file.c_str();
  info.lpParameters = wide_parameters.empty() ? nullptr : wide_parameters.c_str();
  info.lpDirectory = wide_directory.empty() ? nullptr : wide_directory.c_str();
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) return false;
  if (!info.hProcess) {
    // Started through a running program (DDE): there is nothing to wait on.
    finished = true;
    return true;
  }
  finished = WaitForSingleObject(info.hProcess, wait_ms) == WAIT_OBJECT_0;
  CloseHandle(info.hProcess);
  return true;
}

std::string Win32Processes::SystemDirectory() {
  const UINT needed = GetSystemDirectoryW(nullptr, 0);
  if (needed == 0) return std::string();
  std::vector<wchar_t> directory(needed);
  const UINT length = GetSystemDirectoryW(directory.data(), needed);
  if (length == 0 || length >= needed) return std::string();
  return Utf8FromWide(std::wstring(directory.data(), length));
}

}  // namespace flotilla::platform

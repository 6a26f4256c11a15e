// A stand-in for the connection manager's server: notes each start in "started.txt" beside
// itself (its process id, one line), then waits to be ended, as the real server runs until
// "killsvr.bat" ends it. It ends by itself after two minutes so that no test leaves it behind.
#include <windows.h>

#include <string>

int main() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring log = path;
  log = log.substr(0, log.find_last_of(L'\\') + 1) + L"started.txt";
  HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    const std::string line = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }
  Sleep(120000);
  return 0;
}

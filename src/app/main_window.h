// MainWindow: the update form as the program's main window, and the display operations
// that the device watch and the workers report through.
#pragma once

#include "update/program_host.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "line/flotilla_doc.h"
#include "line/line_display.h"
#include "platform/prompts.h"

namespace flotilla::app {

class MainWindow : public line::LineDisplay {
 public:
  MainWindow(HINSTANCE instance, line::CFlotillaDoc& doc);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates and shows the form on the calling thread, which becomes the window thread.
  bool Create();
  // Runs the window thread's message loop until the window is gone; the exit code.
  int RunMessageLoop();
  // What a click on UPDATE does; called on the window thread.
  void SetUpdateCommand(std::function<void()> command) { update_command_ = std::move(command); }
  // What the window message WM_USER + 1 from another program does; called on the window thread.
  void SetUninstallCommand(std::function<void()> command) { uninstall_command_ = std::move(command); }
  HWND Handle() const { return window_; }

  // The display operations. From the window thread they act at once; from any other thread
  // they are posted and the caller goes on.
  void AppendLineStatus(int line, const std::string& text) override;
  void SetLineProgress(int line, int percent) override;
  void SetLineIcon(int line, line::LineIcon icon) override;
  void ShowLinePorts(int line) override;
  void ShowLineVersions(int line) override;
  void EnableLineControls(int line, bool enable) override;

  // A message box owned by the main window; returns the button chosen (IDOK, IDYES, ...), or
  // 0 when the window is gone. A worker thread waits here while the window thread shows it.
  int Ask(const std::string& text, const std::string& caption, UINT style);
  // A close of the main window asked by a worker (the device does not fit): the close box's
  // question while a line runs. True when the window closed; the worker waits for it.
  bool RequestClose();
  // Whether any line's operation runs.
  bool AnyLineRunning();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  bool OnWindowThread() const { return GetCurrentThreadId() == window_thread_; }
  bool Post(UINT message, WPARAM wparam, LPARAM lparam);

  // Message handlers, one per message.
  void OnInitDialog();
  void OnCommand(WPARAM wparam);
  INT_PTR OnControlColour(HDC dc, HWND control);
  void OnClose();
  void OnQueryEndSession();
  void OnDestroy();
  void OnPostedStatus(WPARAM wparam, LPARAM lparam);
  void OnPostedRefresh(UINT message, WPARAM wparam);
  void OnAskUser(LPARAM lparam);
  void OnCloseRequest(LPARAM lparam);
  // Takes back and frees what is still queued for the window when it goes away.
  void DropQueuedMessages();

  // The display operations on the window thread.
  void ShowStatusNow(int line, const std::string& text);
  void SetProgressNow(int line, int percent);
  void SetIconNow(int line, line::LineIcon icon);
  void ShowPortsNow(int line);
  void ShowVersionsNow(int line);
  void EnableControlsNow(int line, bool enable);
  // Whether line 0 shows a version that an update may start from.
  bool VersionsReady();

  void PutLanguageTexts();
  void SetControlText(int id, const std::string& text);

  HINSTANCE instance_;
  line::CFlotillaDoc& doc_;
  HWND window_ = nullptr;
  DWORD window_thread_ = 0;
  HFONT window_font_ = nullptr;
  HICON update_icon_ = nullptr;
  std::function<void()> update_command_;
  std::function<void()> uninstall_command_;
  // A port or version refresh shows the line's state when the window gets to it, so one
  // queued refresh per line stands for any number asked meanwhile. This keeps a watch that
  // searches quickly from flooding the queue.
  std::array<std::atomic<bool>, line::kLineCount> ports_queued_{};
  std::array<std::atomic<bool>, line::kLineCount> versions_queued_{};
  // Posting and the window's end exclude each other, so nothing is posted after the window
  // took back what was queued.
  std::mutex post_mutex_;
  bool window_open_ = false;
};

// The message boxes of the core, shown by the main window.
class WindowPrompts : public platform::Prompts {
 public:
  explicit WindowPrompts(MainWindow& window) : window_(window) {}
  void ShowMessage(const std::string& text) override;

 private:
  MainWindow& window_;
};

// The window message another program sends to have the stick's port let go and the
// uninstaller started.
constexpr UINT kUninstallRequest = WM_USER + 1;

// Composes the program around the form: the document on the Win32 serial ports and registry,
// the language of the system, line 1's image set from the staged files, the window, the
// re-plug worker and line 0's device watch; `parts` are what an update uses besides the line.
// `clean_up` runs once the window is gone and the re-plug worker has released its library,
// also when the window was closed during an update, which then ends the process right after
// it. Returns the exit code.
int RunMainWindow(HINSTANCE instance, update::ProgramParts parts, const std::function<void()>& clean_up);

}  // namespace flotilla::app

// The main window's dialog procedure, its message handlers and the program's composition.
#include "app/main_window.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <system_error>
#include <thread>
#include <utility>

#include "app/form_ids.h"
#include "app/form_texts.h"
#include "app/line_start.h"
#include "app/wide_text.h"
#include "app/window_messages.h"
#include "discovery/replug_worker.h"
#include "images/image_set.h"
#include "images/staging.h"
#include "platform/clock.h"
#include "platform/win32/dynamic_library.h"
#include "platform/win32/registry.h"
#include "platform/win32/serial_port.h"
#include "update/device_watch.h"

namespace flotilla::app {
namespace {

// The language texts and the control each goes into.
struct LanguageControl {
  FormText text;
  int id;
};
constexpr LanguageControl kLanguageControls[kFormTextCount] = {
    {FormText::Compatibility, IDC_COMPATIBILITY},
    {FormText::StepsHeading, IDC_STEPS_HEADING},
    {FormText::Step1, IDC_STEP1},
    {FormText::Step2, IDC_STEP2},
    {FormText::Step3, IDC_STEP3},
    {FormText::Warning1, IDC_WARNING1},
    {FormText::Warning2, IDC_WARNING2},
    {FormText::Warning3, IDC_WARNING3},
    {FormText::Duration, IDC_DURATION},
    {FormText::PortLabel, IDC_PORT_LABEL},
    {FormText::CurrentVersionLabel, IDC_CURRENT_LABEL},
    {FormText::ProgressLabel, IDC_PROGRESS_LABEL},
    {FormText::UpdateVersionLabel, IDC_UPDATE_LABEL},
};

constexpr COLORREF kWarningColour = RGB(255, 40, 0);

bool IsWarning(int id) { return id == IDC_WARNING1 || id == IDC_WARNING2 || id == IDC_WARNING3; }

// The main window font: Tahoma, 15 high, weight 900, Swiss family.
HFONT CreateMainWindowFont() {
  return CreateFontW(15, 0, 0, 0, 900, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS, L"Tahoma");
}

std::string ModuleFileName() {
  char name[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, name, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(name, length) : std::string();
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, line::CFlotillaDoc& doc)
    : instance_(instance), doc_(doc) {}

MainWindow::~MainWindow() {
  {
    std::lock_guard<std::mutex> lock(post_mutex_);
    window_open_ = false;
  }
  if (window_) {
    // The procedure must not reach this object any more while the window goes away.
    SetWindowLongPtrW(window_, DWLP_USER, 0);
    DestroyWindow(window_);
  }
  if (window_font_) DeleteObject(window_font_);
  if (update_icon_) DestroyIcon(update_icon_);
}

bool MainWindow::Create() {
  window_thread_ = GetCurrentThreadId();
  HWND window = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_FLOTILLA_FORM), nullptr,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
  if (!window) return false;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  return true;
}

int MainWindow::RunMessageLoop() {
  MSG message;
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    if (window_ && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<MainWindow*>(lparam);
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    self->window_ = window;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  return self ? self->HandleMessage(message, wparam, lparam) : FALSE;
}

INT_PTR MainWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(wparam);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return OnControlColour(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return TRUE;
    case WM_QUERYENDSESSION:
      OnQueryEndSession();
      return TRUE;
    case kShowLineStatus:
      OnPostedStatus(wparam, lparam);
      return TRUE;
    case kSetLineProgress:
      SetProgressNow(static_cast<int>(wparam), static_cast<int>(lparam));
      return TRUE;
    case kSetLineIcon:
      SetIconNow(static_cast<int>(wparam), static_cast<line::LineIcon>(lparam));
      return TRUE;
    case kShowLinePorts:
    case kShowLineVersions:
      OnPostedRefresh(message, wparam);
      return TRUE;
    case kEnableLineControls:
      EnableControlsNow(static_cast<int>(wparam), lparam != 0);
      return TRUE;
    case kAskUser:
      OnAskUser(lparam);
      return TRUE;
    case kCloseRequest:
      OnCloseRequest(lparam);
      return TRUE;
    case kUninstallRequest:
      // For a dialog the same number is DM_SETDEFID, which carries a control; only the bare
      // message is the request, anything else is left to the dialog manager.
      if (wparam != 0 || lparam != 0) return FALSE;
      if (uninstall_command_) uninstall_command_();
      return TRUE;
    default:
      return FALSE;
  }
}

void MainWindow::OnInitDialog() {
  {
    std::lock_guard<std::mutex> lock(post_mutex_);
    window_open_ = true;
  }
  PutLanguageTexts();
  SetWindowTextW(window_, Utf8ToWide(kWindowCaption).c_str());
  window_font_ = CreateMainWindowFont();
  if (window_font_) SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(window_font_), FALSE);
  update_icon_ = static_cast<HICON>(
      LoadImageW(instance_, MAKEINTRESOURCEW(IDI_START_LINE), IMAGE_ICON, 32, 32, 0));
  if (update_icon_) {
    SendDlgItemMessageW(window_, IDC_UPDATE, BM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(update_icon_));
  }
  // The program's icon in the caption and the task switcher; shared icons stay with the module.
  for (const auto& [which, metric] : {std::pair{ICON_SMALL, SM_CXSMICON}, std::pair{ICON_BIG, SM_CXICON}}) {
    const int size = GetSystemMetrics(metric);
    if (HANDLE icon = LoadImageW(instance_, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON, size,
                                 size, LR_SHARED))
      SendMessageW(window_, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
  }
  SetControlText(IDC_NEW_FIRMWARE, NewFirmwareText());
  SetControlText(IDC_NEW_WINDOWS, NewWindowsText());
  SetControlText(IDC_NEW_MAC, NewMacText());
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
  // The line's first state: its port and versions as the document starts them, and UPDATE
  // off until the device watch has a version to show.
  ShowPortsNow(0);
  ShowVersionsNow(0);
  EnableControlsNow(0, true);
  EnableWindow(GetDlgItem(window_, IDC_UPDATE), FALSE);
}

void MainWindow::OnCommand(WPARAM wparam) {
  if (LOWORD(wparam) == IDC_UPDATE && HIWORD(wparam) == BN_CLICKED) {
    // A click that reaches a disabled button (a message posted by another program) is refused.
    if (!IsWindowEnabled(GetDlgItem(window_, IDC_UPDATE))) return;
    if (update_command_) update_command_();
  } else if (LOWORD(wparam) == IDCANCEL) {
    // Escape in a dialog: the same as the close box.
    OnClose();
  }
}

INT_PTR MainWindow::OnControlColour(HDC dc, HWND control) {
  if (!IsWarning(GetDlgCtrlID(control))) return FALSE;
  SetTextColor(dc, kWarningColour);
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

void MainWindow::OnClose() {
  if (AnyLineRunning()) {
    // Closing ends the process with the worker, leaving the stick half-written: ask first.
    const bool german = doc_.German();
    const int answer = MessageBoxW(
        window_,
        Utf8ToWide(german ? "Still Running, You really want to exit?"
                          : "Update is running, stopping the application will damage the "
                            "datacard，Are you sure to quit?")
            .c_str(),
        Utf8ToWide(german ? "Waring" : "Warning").c_str(), MB_YESNO | MB_ICONERROR);
    if (answer == IDNO) return;
  }
  DestroyWindow(window_);
}

void MainWindow::OnQueryEndSession() {
  // A log-off or shut-down in the middle of an update would leave the stick half-written: it
  // is refused while a line runs, with warning 1 as the reason the system shows. The reason
  // calls came with Vista, so they are looked up rather than imported.
  const bool running = AnyLineRunning();
  HMODULE user = GetModuleHandleW(L"user32.dll");
  if (running) {
    using CreateReason = BOOL(WINAPI*)(HWND, LPCWSTR);
    if (auto create = reinterpret_cast<CreateReason>(
            reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonCreate"))))
      create(window_, Utf8ToWide(FormTextFor(FormText::Warning1, doc_.German())).c_str());
  } else {
    using DestroyReason = BOOL(WINAPI*)(HWND);
    if (auto destroy = reinterpret_cast<DestroyReason>(
            reinterpret_cast<void*>(GetProcAddress(user, "ShutdownBlockReasonDestroy"))))
      destroy(window_);
  }
  SetWindowLongPtrW(window_, DWLP_MSGRESULT, running ? FALSE : TRUE);
}

void MainWindow::OnDestroy() {
  {
    std::lock_guard<std::mutex> lock(post_mutex_);
    window_open_ = false;
  }
  DropQueuedMessages();
  SetWindowLongPtrW(window_, DWLP_USER, 0);
  window_ = nullptr;
  PostQuitMessage(0);
}

void MainWindow::PutLanguageTexts() {
  const bool german = doc_.German();
  for (const LanguageControl& control : kLanguageControls)
    SetControlText(control.id, FormTextFor(control.text, german));
  InvalidateRect(window_, nullptr, TRUE);
}

void MainWindow::SetControlText(int id, const std::string& text) {
  SetDlgItemTextW(window_, id, Utf8ToWide(text).c_str());
}

bool MainWindow::AnyLineRunning() {
  for (int line = 0; line < line::kLineCount; ++line)
    if (doc_.Line(line).running != 0) return true;
  return false;
}

// WM_USER + 1: the stick's diagnostics port is let go, and after a moment for the system the
// uninstaller next to the program is started, maximised. Refused while a line runs: closing
// the port under an update would leave the stick half-written. The wait for the watch's pause
// and the moment after it are spent on a thread of its own, so that the window goes on
// answering; UPDATE is refused until that thread is done, as the watch is resumed at its end.
class UninstallerStart {
 public:
  UninstallerStart(MainWindow& window, line::CFlotillaDoc& doc, update::DeviceWatchThread& watch)
      : window_(window), doc_(doc), watch_(watch) {}
  ~UninstallerStart() { Join(); }
  UninstallerStart(const UninstallerStart&) = delete;
  UninstallerStart& operator=(const UninstallerStart&) = delete;

  // On the window thread.
  void Request() {
    line::LineRecord& line = doc_.Line(0);
    if (window_.AnyLineRunning()) {
      line.history.Append("UnInstallAll.exe not started: an update is running", nullptr);
      return;
    }
    if (busy_) return;  // one start at a time
    Join();
    busy_ = true;
    HWND owner = window_.Handle();
    try {
      thread_ = std::thread([this, owner, &line] {
        // The watch uses the port in its steps; it is held until the uninstaller has started,
        // so that it does not take the port again meanwhile.
        watch_.Pause();
        line.diag_channel.Port().Close();
        Sleep(1500);
        // The shell asks for COM on the thread that calls it.
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        ShellExecuteW(owner, L"open", L".\\UnInstallAll.exe", nullptr, L"", SW_SHOWMAXIMIZED);
        if (SUCCEEDED(com)) CoUninitialize();
        watch_.Resume();
        busy_ = false;
      });
    } catch (const std::system_error&) {
      busy_ = false;
    }
  }
  bool Busy() const { return busy_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  MainWindow& window_;
  line::CFlotillaDoc& doc_;
  update::DeviceWatchThread& watch_;
  std::thread thread_;
  std::atomic<bool> busy_{false};
};

int RunMainWindow(HINSTANCE instance, update::ProgramParts parts, const std::function<void()>& clean_up) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  platform::Win32SerialFactory serial_devices;
  platform::Win32Registry registry;
  platform::Win32Libraries libraries;
  line::CFlotillaDoc doc(line::DocEnvironment{serial_devices, platform::SystemClock(),
                                              GetSystemDefaultLangID(), ModuleFileName()});
  // Line 1 updates from the staged files.
  images::FillImageSetPaths(doc, 0, images::kStagingDirectory);
  // What the start-up left behind (a stop script that did not end) goes into line 1's history.
  if (parts.connection_manager)
    for (const std::string& note : parts.connection_manager->TakeNotes())
      doc.Line(0).history.Append(note, nullptr);
  MainWindow window(instance, doc);
  if (!window.Create()) {
    clean_up();
    return 1;
  }
  WindowPrompts prompts(window);
  // The re-plug worker, from now until the first operation starts. It ends, and releases the
  // library, before the clean-up deletes the library's file.
  discovery::ReplugThread replug(
      discovery::ReplugServices{libraries, prompts, platform::SystemClock(), doc.replug_enabled, nullptr},
      discovery::ReplugLibraryPath(images::kStagingDirectory));
  // Only line 0 has a diagnostics port at start-up, so it is the one line watched.
  update::DeviceWatchThread watch(line::LineContext{doc, registry, window, prompts, 0});
  LineWorkers workers;
  WindowLineServices services{doc, registry, window, prompts, watch, &replug, workers, parts,
                              parts.files.CurrentDirectory()};
  UninstallerStart uninstaller(window, doc, watch);
  window.SetUpdateCommand([&services, &uninstaller] {
    if (!uninstaller.Busy()) StartLineOperationFromWindow(services, 0);
  });
  window.SetUninstallCommand([&uninstaller] { uninstaller.Request(); });
  replug.Start();
  watch.Start();
  const int exit_code = window.RunMessageLoop();
  if (window.AnyLineRunning()) {
    // Closed while a line runs (the user said Yes): the process ends with the worker, which
    // is left on the stick as it is. The clean-up still runs, as far as it can while the
    // worker holds a file, and the connection manager is started again; then the end, before
    // the document and the window could be destroyed under the worker.
    replug.End();
    clean_up();
    ExitProcess(static_cast<UINT>(exit_code));
  }
  // Otherwise every worker has handed its line back and is on its way out (one in its
  // success box finds the window gone and ends the program itself); the re-plug worker ends
  // (a Replug call that runs is waited for) and lets the library go; the clean-up; the watch
  // ends at its next step (what it still shows finds the window gone and is dropped); then
  // the window object and the document.
  workers.JoinAll();
  uninstaller.Join();
  replug.End();
  clean_up();
  return exit_code;
}

}  // namespace flotilla::app

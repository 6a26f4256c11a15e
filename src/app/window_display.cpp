// The display operations of the main window: posted from other threads, carried out on the
// window thread; and the message boxes asked of it.
#include "app/main_window.h"

#include <commctrl.h>

#include <memory>

#include "app/form_ids.h"
#include "app/form_texts.h"
#include "app/wide_text.h"
#include "app/window_messages.h"

namespace flotilla::app {
namespace {

struct IconResource {
  int bitmap;
  const char* failure;  // the box when the bitmap cannot be loaded
};
// In the order of LineIcon.
constexpr IconResource kIconResources[] = {
    {IDB_LINE_READY, "Load Ready图标失败!"},
    {IDB_LINE_RUNNING, "Load Running图标失败!"},
    {IDB_LINE_PASS, "Load Pass图标失败!"},
    {IDB_LINE_FAIL, "Load Fail图标失败!"},
};

}  // namespace

bool MainWindow::Post(UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard<std::mutex> lock(post_mutex_);
  return window_open_ && PostMessageW(window_, message, wparam, lparam);
}

void MainWindow::AppendLineStatus(int line, const std::string& text) {
  if (OnWindowThread()) return ShowStatusNow(line, text);
  auto payload = std::make_unique<StatusPayload>(StatusPayload{text});
  if (Post(kShowLineStatus, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(payload.get())))
    payload.release();
}

void MainWindow::SetLineProgress(int line, int percent) {
  if (OnWindowThread()) return SetProgressNow(line, percent);
  Post(kSetLineProgress, static_cast<WPARAM>(line), static_cast<LPARAM>(percent));
}

void MainWindow::SetLineIcon(int line, line::LineIcon icon) {
  if (OnWindowThread()) return SetIconNow(line, icon);
  Post(kSetLineIcon, static_cast<WPARAM>(line), static_cast<LPARAM>(icon));
}

void MainWindow::ShowLinePorts(int line) {
  if (OnWindowThread()) return ShowPortsNow(line);
  if (!line::CFlotillaDoc::IsLine(line)) return;
  std::atomic<bool>& queued = ports_queued_[static_cast<size_t>(line)];
  if (!queued.exchange(true) && !Post(kShowLinePorts, static_cast<WPARAM>(line), 0))
    queued = false;
}

void MainWindow::ShowLineVersions(int line) {
  if (OnWindowThread()) return ShowVersionsNow(line);
  if (!line::CFlotillaDoc::IsLine(line)) return;
  std::atomic<bool>& queued = versions_queued_[static_cast<size_t>(line)];
  if (!queued.exchange(true) && !Post(kShowLineVersions, static_cast<WPARAM>(line), 0))
    queued = false;
}

void MainWindow::EnableLineControls(int line, bool enable) {
  if (OnWindowThread()) return EnableControlsNow(line, enable);
  Post(kEnableLineControls, static_cast<WPARAM>(line), enable ? 1 : 0);
}

int MainWindow::Ask(const std::string& text, const std::string& caption, UINT style) {
  if (OnWindowThread())
    return window_ ? MessageBoxW(window_, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), style)
                   : 0;
  auto request = std::make_unique<AskRequest>();
  request->text = Utf8ToWide(text);
  request->caption = Utf8ToWide(caption);
  request->style = style;
  std::future<int> answer = request->answer.get_future();
  if (!Post(kAskUser, 0, reinterpret_cast<LPARAM>(request.get()))) return 0;
  request.release();
  // The one wait of a worker on the window: the window thread answers every request it
  // takes, and those left when it goes away with 0.
  return answer.get();
}

bool MainWindow::RequestClose() {
  if (OnWindowThread()) {
    OnClose();
    return window_ == nullptr;
  }
  auto request = std::make_unique<CloseRequest>();
  std::future<bool> closed = request->closed.get_future();
  if (!Post(kCloseRequest, 0, reinterpret_cast<LPARAM>(request.get()))) return true;
  request.release();
  return closed.get();
}

void MainWindow::OnPostedStatus(WPARAM wparam, LPARAM lparam) {
  std::unique_ptr<StatusPayload> payload(reinterpret_cast<StatusPayload*>(lparam));
  ShowStatusNow(static_cast<int>(wparam), payload->text);
}

void MainWindow::OnPostedRefresh(UINT message, WPARAM wparam) {
  const int line = static_cast<int>(wparam);
  if (!line::CFlotillaDoc::IsLine(line)) return;
  // Cleared before reading the line, so a refresh asked from now on is queued again.
  if (message == kShowLinePorts) {
    ports_queued_[static_cast<size_t>(line)] = false;
    ShowPortsNow(line);
  } else {
    versions_queued_[static_cast<size_t>(line)] = false;
    ShowVersionsNow(line);
  }
}

void MainWindow::OnAskUser(LPARAM lparam) {
  std::unique_ptr<AskRequest> request(reinterpret_cast<AskRequest*>(lparam));
  request->answer.set_value(
      MessageBoxW(window_, request->text.c_str(), request->caption.c_str(), request->style));
}

void MainWindow::OnCloseRequest(LPARAM lparam) {
  std::unique_ptr<CloseRequest> request(reinterpret_cast<CloseRequest*>(lparam));
  OnClose();
  request->closed.set_value(window_ == nullptr);
}

void MainWindow::DropQueuedMessages() {
  MSG message;
  while (PeekMessageW(&message, window_, kFirstWindowMessage, kLastWindowMessage, PM_REMOVE)) {
    if (message.message == kShowLineStatus) {
      delete reinterpret_cast<StatusPayload*>(message.lParam);
    } else if (message.message == kAskUser) {
      std::unique_ptr<AskRequest> request(reinterpret_cast<AskRequest*>(message.lParam));
      request->answer.set_value(0);
    } else if (message.message == kCloseRequest) {
      std::unique_ptr<CloseRequest> request(reinterpret_cast<CloseRequest*>(message.lParam));
      request->closed.set_value(true);
    }
  }
}

// Only line 0 has controls in this form; the other lines keep their state in the document.

void MainWindow::ShowStatusNow(int line, const std::string& text) {
  if (line == 0) SetControlText(IDC_STATUS, text);
}

void MainWindow::SetProgressNow(int line, int percent) {
  if (line != 0) return;
  HWND bar = GetDlgItem(window_, IDC_PROGRESS);
  if (percent == 0) SendMessageW(bar, PBM_SETRANGE32, 0, 100);
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  SetControlText(IDC_PERCENT, PercentText(percent));
}

void MainWindow::SetIconNow(int line, line::LineIcon icon) {
  const int index = static_cast<int>(icon);
  if (index < 0 || index > 3) {
    Ask("出现不可知的状态类型!", kWindowCaption, MB_OK);
    return;
  }
  const IconResource& resource = kIconResources[index];
  HBITMAP bitmap = LoadBitmapW(instance_, MAKEINTRESOURCEW(resource.bitmap));
  if (!bitmap) {
    Ask(resource.failure, kWindowCaption, MB_OK);
    return;
  }
  if (line != 0) {
    DeleteObject(bitmap);
    return;
  }
  HGDIOBJ previous = reinterpret_cast<HGDIOBJ>(SendDlgItemMessageW(
      window_, IDC_LINE_ICON, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  if (previous) DeleteObject(previous);
}

void MainWindow::ShowPortsNow(int line) {
  if (line == 0) SetControlText(IDC_PORT, PortText(doc_.Line(line).diag_port));
}

void MainWindow::ShowVersionsNow(int line) {
  if (line != 0) return;
  const line::LineRecord& record = doc_.Line(line);
  const VersionDisplay shown =
      ComposeVersionDisplay(record.texts.VersionText(), record.texts.VersionString(3),
                            record.texts.VersionString(5), doc_.German());
  SetControlText(IDC_CURRENT_FIRMWARE, shown.firmware);
  SetControlText(IDC_CURRENT_WINDOWS, shown.windows);
  SetControlText(IDC_CURRENT_MAC, shown.mac);
  SetControlText(IDC_STATUS, shown.status);
  EnableWindow(GetDlgItem(window_, IDC_UPDATE), shown.ready && record.running == 0);
}

void MainWindow::EnableControlsNow(int line, bool enable) {
  // UPDATE is both the shared control, off while any line runs, and line 0's start button,
  // which follows `enable`; like every refresh it also keeps the version rule.
  const bool line0_may_start = line != 0 || enable;
  EnableWindow(GetDlgItem(window_, IDC_UPDATE), line0_may_start && !AnyLineRunning() && VersionsReady());
}

bool MainWindow::VersionsReady() {
  const line::LineRecord& record = doc_.Line(0);
  return ComposeVersionDisplay(record.texts.VersionText(), record.texts.VersionString(3),
                               record.texts.VersionString(5), doc_.German())
      .ready;
}

void WindowPrompts::ShowMessage(const std::string& text) {
  window_.Ask(text, kWindowCaption, MB_OK);
}

}  // namespace flotilla::app

// The messages other threads post to the main window, and the payloads some of them carry.
#pragma once

#include <windows.h>

#include <future>
#include <string>

namespace flotilla::app {

// wParam is the line of a display message. A payload travels as a heap object in lParam: the
// poster lets go of it only when PostMessage succeeded, and the window thread takes it back
// and frees it (also when the window goes away with the message still queued).
enum : UINT {
  kShowLineStatus = WM_APP + 1,  // lParam: StatusPayload*
  kSetLineProgress,              // lParam: the percent
  kSetLineIcon,                  // lParam: the LineIcon
  kShowLinePorts,                // no payload: the window reads the line's port when it runs
  kShowLineVersions,             // no payload: the window reads the line's versions when it runs
  kEnableLineControls,           // lParam: 1 enable, 0 disable
  kAskUser,                      // lParam: AskRequest*; wParam unused
  kCloseRequest,                 // lParam: CloseRequest*; wParam unused
  kFirstWindowMessage = kShowLineStatus,
  kLastWindowMessage = kCloseRequest,
};

struct StatusPayload {
  std::string text;
};

// A message box a worker asks the window thread to show; the worker waits for `answer`.
struct AskRequest {
  std::wstring text;
  std::wstring caption;
  UINT style = MB_OK;
  std::promise<int> answer;
};

// A worker's request to close the main window, answered as the close box is; `closed` tells
// the worker whether the window went.
struct CloseRequest {
  std::promise<bool> closed;
};

}  // namespace flotilla::app

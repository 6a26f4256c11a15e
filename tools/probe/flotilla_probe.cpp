// flotilla-probe: reads another program's window for the tests, presses its buttons and
// answers its message boxes.
//   flotilla-probe list CAPTION             the window's controls and open boxes as JSON
//   flotilla-probe click CAPTION ID         clicks the enabled, visible control ID
//   flotilla-probe answer CAPTION BUTTON    presses BUTTON (ok, cancel, yes, no or an id) in
//                                           the message box the window owns
//   flotilla-probe close CAPTION            asks the window to close, as its close box does
//   flotilla-probe post CAPTION MESSAGE [WPARAM]  posts the window message MESSAGE (a number),
//                                           with WPARAM (0 unless given) and lParam 0, as
//                                           another program may
//   flotilla-probe send CAPTION MESSAGE [WPARAM [LPARAM]]  sends it and prints the window's
//                                           answer (exit code 1 when none came within 5 s)
//   flotilla-probe boxes CAPTION            the message boxes with that caption that no window
//                                           owns (a program's box before its window is up)
//   flotilla-probe answer-lone CAPTION BUTTON  presses BUTTON in such a box
// Exit codes: 0 done, 1 no such window, 2 usage, 3 the control cannot be clicked, 4 no box
// or no such button in it.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Writes the bytes as they are: a pipe or a file gets UTF-8 whatever the console's code page.
void Print(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// A window of another process answers these messages itself; a hung one is given up on.
LRESULT Ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 5000, &result))
    return 0;
  return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window) {
  const LRESULT length = Ask(window, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return std::wstring();
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied = Ask(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  return std::wstring(buffer.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// A named callback: on i686 a lambda does not convert to the system's calling convention.
BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> found;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

// A message box: a dialog whose text is the system's static with the id 0xFFFF.
bool IsMessageBox(HWND window) {
  return ClassOf(window) == L"#32770" && GetDlgItem(window, 0xFFFF) != nullptr;
}

// The main window: visible, with the caption, owned by no other window (its message boxes
// may carry the same caption) and no message box itself (a box of a program without a window).
HWND FindMainWindow(const std::wstring& caption) {
  for (HWND window : TopLevelWindows())
    if (IsWindowVisible(window) && !GetWindow(window, GW_OWNER) && !IsMessageBox(window) &&
        TextOf(window) == caption)
      return window;
  return nullptr;
}

std::vector<HWND> LoneBoxes(const std::wstring& caption) {
  std::vector<HWND> boxes;
  for (HWND window : TopLevelWindows())
    if (IsWindowVisible(window) && !GetWindow(window, GW_OWNER) && IsMessageBox(window) &&
        TextOf(window) == caption)
      boxes.push_back(window);
  return boxes;
}

std::vector<HWND> BoxesOf(HWND main) {
  std::vector<HWND> boxes;
  for (HWND window : TopLevelWindows())
    if (window != main && IsWindowVisible(window) && GetWindow(window, GW_OWNER) == main &&
        ClassOf(window) == L"#32770")
      boxes.push_back(window);
  return boxes;
}

const char* Bool(bool value) { return value ? "true" : "false"; }

std::string ControlJson(HWND control) {
  const std::wstring kind = ClassOf(control);
  std::string json = "{\"id\": " + std::to_string(GetDlgCtrlID(control)) + ", \"class\": " +
                     Json(kind) + ", \"text\": " + Json(TextOf(control)) +
                     ", \"enabled\": " + Bool(IsWindowEnabled(control)) +
                     ", \"visible\": " + Bool(IsWindowVisible(control));
  if (kind == PROGRESS_CLASSW)
    json += ", \"position\": " + std::to_string(Ask(control, PBM_GETPOS, 0, 0));
  return json + "}";
}

std::string BoxJson(HWND box) {
  std::string buttons;
  std::wstring text;
  for (HWND control : Children(box)) {
    if (GetDlgCtrlID(control) == 0xFFFF) text = TextOf(control);
    if (ClassOf(control) == L"Button") {
      if (!buttons.empty()) buttons += ", ";
      buttons += "{\"id\": " + std::to_string(GetDlgCtrlID(control)) +
                 ", \"text\": " + Json(TextOf(control)) + "}";
    }
  }
  return "{\"caption\": " + Json(TextOf(box)) + ", \"text\": " + Json(text) +
         ", \"buttons\": [" + buttons + "]}";
}

int List(HWND main) {
  std::string json = "{\"caption\": " + Json(TextOf(main)) +
                     ", \"enabled\": " + Bool(IsWindowEnabled(main)) + ", \"controls\": [";
  bool first = true;
  for (HWND control : Children(main)) {
    if (GetParent(control) != main) continue;
    json += (first ? "\n  " : ",\n  ") + ControlJson(control);
    first = false;
  }
  json += "],\n \"boxes\": [";
  first = true;
  for (HWND box : BoxesOf(main)) {
    json += (first ? "\n  " : ",\n  ") + BoxJson(box);
    first = false;
  }
  Print(json + "]}\n");
  return 0;
}

// A real click on a disabled or hidden button does nothing; the probe refuses it rather
// than press what a user could not.
int Click(HWND main, int id) {
  HWND control = GetDlgItem(main, id);
  if (!control || !IsWindowEnabled(control) || !IsWindowVisible(control)) {
    Print("control " + std::to_string(id) + " cannot be clicked\n");
    return 3;
  }
  PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
  return 0;
}

int ButtonId(const std::wstring& name) {
  if (name == L"ok") return IDOK;
  if (name == L"cancel") return IDCANCEL;
  if (name == L"yes") return IDYES;
  if (name == L"no") return IDNO;
  return static_cast<int>(std::wcstol(name.c_str(), nullptr, 10));
}

int Answer(const std::vector<HWND>& boxes, int id) {
  for (HWND box : boxes) {
    HWND button = GetDlgItem(box, id);
    if (!button) continue;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
  }
  Print("no box with button " + std::to_string(id) + "\n");
  return 4;
}

const char kUsage[] =
    "usage: flotilla-probe list|close|boxes CAPTION\n"
    "       flotilla-probe click CAPTION ID | answer CAPTION BUTTON | answer-lone CAPTION BUTTON\n"
    "       flotilla-probe post CAPTION MESSAGE [WPARAM] | send CAPTION MESSAGE [WPARAM [LPARAM]]\n"
    "  BUTTON is ok, cancel, yes, no or a button id; MESSAGE a window message number; send\n"
    "  prints the window's answer.\n"
    "  Exit codes: 0 done, 1 no such window, 2 usage, 3 the control cannot be clicked, 4 no box.\n";

// Bad usage: what is wrong and the usage on stderr, exit code 2.
int BadUsage(const std::string& what) {
  const std::string text = "flotilla-probe: " + what + "\n" + kUsage;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  return 2;
}

}  // namespace

int main() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args && count == 2 && (std::wstring(args[1]) == L"--help" || std::wstring(args[1]) == L"-h")) {
    Print(kUsage);
    return 0;
  }
  if (!args || count < 2) return BadUsage("no command given");
  const std::wstring command = args[1];
  const bool needs_argument = command == L"click" || command == L"answer" || command == L"answer-lone" ||
                              command == L"post" || command == L"send";
  if (!needs_argument && command != L"list" && command != L"close" && command != L"boxes")
    return BadUsage("unknown command " + Utf8(args[1]));
  if (count < 3) return BadUsage("no CAPTION given");
  if (needs_argument && count < 4) return BadUsage(Utf8(args[1]) + " needs " + (command == L"post" || command == L"send" ? "a MESSAGE" : command == L"click" ? "an ID" : "a BUTTON"));
  if (command == L"boxes") {
    const std::vector<HWND> boxes = LoneBoxes(args[2]);
    std::string json = "[";
    for (HWND box : boxes) json += (json.size() > 1 ? ",\n " : "") + BoxJson(box);
    Print(json + "]\n");
    return boxes.empty() ? 4 : 0;
  }
  if (command == L"answer-lone") return Answer(LoneBoxes(args[2]), ButtonId(args[3]));
  HWND main = FindMainWindow(args[2]);
  if (!main) {
    Print("no window \"" + Utf8(args[2]) + "\"\n");
    return 1;
  }
  if (command == L"list") return List(main);
  if (command == L"close") return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
  if (command == L"click") return Click(main, ButtonId(args[3]));
  if (command == L"answer") return Answer(BoxesOf(main), ButtonId(args[3]));
  const UINT message = static_cast<UINT>(std::wcstoul(args[3], nullptr, 0));
  const WPARAM wparam = count > 4 ? static_cast<WPARAM>(std::wcstoul(args[4], nullptr, 0)) : 0;
  const LPARAM lparam = count > 5 ? static_cast<LPARAM>(std::wcstoul(args[5], nullptr, 0)) : 0;
  if (command == L"post") return PostMessageW(main, message, wparam, 0) ? 0 : 1;
  if (command == L"send") {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(main, message, wparam, lparam, SMTO_ABORTIFHUNG, 5000, &answer)) return 1;
    Print(std::to_string(static_cast<unsigned long long>(answer)) + "\n");
    return 0;
  }
  return 2;
}

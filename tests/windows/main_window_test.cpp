// The update window with a worker thread: display operations posted to the window thread,
// the refresh showing the line's latest state, UPDATE following the version rule and the
// running line, boxes asked by a worker, and the close question. Needs a display (Xvfb).
// First: the file system seam's DeleteFile and ReplaceFile then carry the same names in the
// interface and in the Win32 backend, whatever the headers below pull in.
#include <windows.h>

#include "app/main_window.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/form_ids.h"
#include "app/form_texts.h"
#include "app/wide_text.h"
#include "platform/clock.h"
#include "platform/memory_registry.h"
#include "platform/win32/files.h"
#include "platform/win32/serial_port.h"
#include "update/line_start.h"

namespace flotilla::app {
namespace {

// Presses a button in the next message box `owner` shows, from a thread of its own (the
// window thread sits in the box's own loop meanwhile).
class BoxAnswerer {
 public:
  BoxAnswerer(HWND owner, int button) : owner_(owner) {
    thread_ = std::thread([this, button] { Answer(button); });
  }
  ~BoxAnswerer() {
    if (thread_.joinable()) thread_.join();
  }
  // The box's text, once it was answered.
  std::string Text() {
    if (thread_.joinable()) thread_.join();
    return text_;
  }

 private:
  void Answer(int button) {
    for (int tries = 0; tries < 500; ++tries) {
      HWND box = FindBox();
      if (box) {
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);
        text_ = WideToUtf8(text);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return;
      }
      Sleep(20);
    }
  }
  struct Search {
    HWND owner;
    HWND box;
  };
  // A named callback: on i686 a lambda does not convert to the system's calling convention.
  static BOOL CALLBACK MatchBox(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    wchar_t kind[16] = {};
    GetClassNameW(window, kind, 16);
    if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowVisible(window) ||
        std::wstring(kind) != L"#32770")
      return TRUE;
    search->box = window;
    return FALSE;
  }
  HWND FindBox() {
    Search search{owner_, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.box;
  }

  HWND owner_;
  std::string text_;
  std::thread thread_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest()
      : doc_(line::DocEnvironment{serial_devices_, platform::SystemClock(), 0x0409,
                                  "C:\\Flotilla\\flotilla.exe"}),
        window_(GetModuleHandleW(nullptr), doc_) {}

  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    ASSERT_TRUE(window_.Create());
    Drain();
  }

  // Handles what is queued for this thread (the end of an earlier test's window included).
  static void Drain() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  // Runs `work` on a thread of its own while this thread handles the window's messages, until
  // the work is done and everything it posted has been handled.
  void FromWorker(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
    });
    for (int rounds = 0; rounds < 1000; ++rounds) {
      const bool finished = done;
      Drain();
      if (finished) break;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    worker.join();
    ASSERT_TRUE(done) << "the worker did not finish";
  }

  std::string Text(int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(window_.Handle(), id, text, 512);
    return WideToUtf8(text);
  }
  bool UpdateEnabled() { return IsWindowEnabled(GetDlgItem(window_.Handle(), IDC_UPDATE)); }
  void SetVersions(const std::string& text, const std::string& string3) {
    protocol::VersionSet strings;
    strings[2] = string3;
    strings[4] = string3.empty() ? "" : "MAC_1";
    doc_.Line(0).texts.SetVersions(text, strings);
  }

  platform::Win32SerialFactory serial_devices_;
  line::CFlotillaDoc doc_;
  MainWindow window_;
};

TEST_F(MainWindowTest, StartsSearchingWithUpdateOffInAFixedFrame) {
  const LONG_PTR style = GetWindowLongPtrW(window_.Handle(), GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
  EXPECT_EQ(GetMenu(window_.Handle()), nullptr);
  wchar_t caption[64] = {};
  GetWindowTextW(window_.Handle(), caption, 64);
  EXPECT_EQ(WideToUtf8(caption), "XV300 Skylarke Updater");
  EXPECT_EQ(Text(IDC_PORT), "NULL");
  EXPECT_EQ(Text(IDC_CURRENT_FIRMWARE), "NULL");
  EXPECT_EQ(Text(IDC_STATUS), "Searching communication ports...");
  EXPECT_EQ(Text(IDC_WARNING1), "Do not switch off your computer or start any other applications "
                                "until the update is complete.");
  EXPECT_FALSE(UpdateEnabled());
}

TEST_F(MainWindowTest, AWorkersStatusAndProgressReachTheWindowInOrder) {
  FromWorker([&] {
    window_.AppendLineStatus(0, "Gerät wird vorbereitet…");
    window_.SetLineProgress(0, 0);
    window_.SetLineProgress(0, 37);
    window_.AppendLineStatus(0, "Download");
    window_.SetLineProgress(1, 80);  // a line without controls in this form
  });
  EXPECT_EQ(Text(IDC_STATUS), "Download");
  EXPECT_EQ(Text(IDC_PERCENT), "37%");
  EXPECT_EQ(SendDlgItemMessageW(window_.Handle(), IDC_PROGRESS, PBM_GETPOS, 0, 0), 37);
  FromWorker([&] { window_.SetLineProgress(0, 137); });
  EXPECT_EQ(Text(IDC_PERCENT), "100%");
  FromWorker([&] { window_.AppendLineStatus(0, "Gerät wird vorbereitet…"); });
  EXPECT_EQ(Text(IDC_STATUS), "Gerät wird vorbereitet…");
}

TEST_F(MainWindowTest, UpdateFollowsTheVersionsAndTheRunningLine) {
  struct Step {
    const char* name;
    std::function<void()> change;
    bool enabled;
  };
  line::LineRecord& record = doc_.Line(0);
  const Step steps[] = {
      {"stick answered", [&] { SetVersions("FW_1", "WIN_1"); window_.ShowLineVersions(0); }, true},
      {"line running", [&] { record.running = 1; window_.EnableLineControls(0, false); }, false},
      {"versions shown while running", [&] { window_.ShowLineVersions(0); }, false},
      {"line done", [&] { record.running = 0; window_.EnableLineControls(0, true); }, true},
      {"version string 3 empty", [&] { SetVersions("FW_1", ""); window_.ShowLineVersions(0); }, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    FromWorker(step.change);
    EXPECT_EQ(UpdateEnabled(), step.enabled);
  }
}

// What a start asks besides the window: the pause of the watchers and the worker, counted.
class CountingStartHost : public update::LineStartHost {
 public:
  void ShowModelMismatch(const std::string&) override {}
  void RequestClose() override {}
  void ShowStartBox(const std::string&) override {}
  void PauseWatchers(int) override {}
  bool StartWorker(int, line::LineOperation) override {
    ++workers;
    return true;
  }
  int workers = 0;
};

// Mends: UPDATE went off one step before the line was marked running, and the window, which
// reads the flag, turned it on again; a second click then started a second worker.
TEST_F(MainWindowTest, AClickStartsOneWorkerAndUpdateStaysOffUntilTheLineIsBack) {
  platform::Win32FileSystem files;
  platform::MemoryRegistry registry;
  platform::RecordingPrompts prompts;
  // The start of an NV restore checks the stick and the NV directory alone; up to its worker
  // it is the start of an update.
  doc_.Line(0).operation = line::LineOperation::NvRestore;
  doc_.Line(0).paths.nv_directory = "C:\\Flotilla NV";
  protocol::VersionSet strings;
  strings[2] = "WIN_1";
  strings[4] = "MAC_1";
  strings[8] = "XV300 VELQ482B3 R1";
  doc_.Line(0).texts.SetVersions("FW_1", strings);
  doc_.Line(0).device_state = line::DeviceState::Answered;
  line::LineContext context{doc_, registry, window_, prompts, 0};
  CountingStartHost host;
  window_.SetUpdateCommand([&] { update::StartLineOperation(context, files, host); });
  auto click = [&] {
    PostMessageW(window_.Handle(), WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window_.Handle(), IDC_UPDATE)));
  };

  FromWorker([&] { window_.ShowLineVersions(0); });  // the watch shows the stick
  ASSERT_TRUE(UpdateEnabled());
  struct Step {
    const char* name;
    std::function<void()> change;  // on a thread of its own, as the watch and the worker do
    bool enabled;
    int workers;
  };
  line::LineRecord& record = doc_.Line(0);
  const Step steps[] = {
      {"clicked", click, false, 1},
      {"a refresh the watch posted before it paused", [&] { window_.ShowLineVersions(0); }, false, 1},
      {"a second click", click, false, 1},
      {"the worker's progress", [&] { window_.SetLineProgress(0, 40); }, false, 1},
      // The worker's way out: the flag cleared last, then the controls.
      {"the line handed back", [&] {
         record.running = 0;
         window_.EnableLineControls(0, true);
       }, true, 1},
      {"a click on the free line", click, false, 2},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    FromWorker(step.change);
    EXPECT_EQ(UpdateEnabled(), step.enabled);
    EXPECT_EQ(host.workers, step.workers);
  }
  window_.SetUpdateCommand(nullptr);
}

TEST_F(MainWindowTest, ManyRefreshesShowTheLatestState) {
  FromWorker([&] {
    for (int i = 0; i < 5000; ++i) {
      doc_.Line(0).diag_port = i % 2 ? 7 : 1;
      window_.ShowLinePorts(0);
      SetVersions("FW_" + std::to_string(i), "WIN_1");
      window_.ShowLineVersions(0);
    }
    doc_.Line(0).diag_port = 12;
    window_.ShowLinePorts(0);
  });
  EXPECT_EQ(Text(IDC_PORT), "COM12");
  EXPECT_EQ(Text(IDC_CURRENT_FIRMWARE), "FW_4999 (Firmware)");
  EXPECT_EQ(Text(IDC_STATUS), "Ready to start update.");
}

TEST_F(MainWindowTest, AWorkerWaitsForTheAnswerOfItsBox) {
  BoxAnswerer answerer(window_.Handle(), IDNO);
  int answer = 0;
  FromWorker([&] { answer = window_.Ask("Weiter?", "XV300 Skylarke Updater", MB_YESNO); });
  EXPECT_EQ(answer, IDNO);
  EXPECT_EQ(answerer.Text(), "Weiter?");
}

TEST_F(MainWindowTest, ABoxAskedWhileTheWindowGoesAwayIsAnsweredWithNothing) {
  std::atomic<int> answer{-1};
  std::thread worker([&] { answer = window_.Ask("Weiter?", "XV300", MB_OK); });
  // The request is queued; the window closes before it gets to it.
  while (!GetQueueStatus(QS_POSTMESSAGE)) Sleep(5);
  DestroyWindow(window_.Handle());
  worker.join();
  EXPECT_EQ(answer, 0);
  // Anything shown after the window is gone is dropped, and a box is answered at once.
  int late_answer = -1;
  FromWorker([&] {
    window_.AppendLineStatus(0, "late");
    late_answer = window_.Ask("late", "XV300", MB_OK);
  });
  EXPECT_EQ(late_answer, 0);
}

TEST_F(MainWindowTest, ClosingWhileALineRunsAsksFirst) {
  // The close box and a worker's close request ask the same; No keeps the window.
  struct Case {
    const char* name;
    bool from_worker;
    int answer;
  };
  const Case cases[] = {{"close box, No", false, IDNO},
                        {"worker's request, No", true, IDNO},
                        {"worker's request, Yes", true, IDYES}};
  doc_.Line(0).running = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoxAnswerer answerer(window_.Handle(), c.answer);
    bool closed = false;
    if (c.from_worker) {
      FromWorker([&] { closed = window_.RequestClose(); });
    } else {
      SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
      closed = window_.Handle() == nullptr;
    }
    EXPECT_EQ(answerer.Text(), "Update is running, stopping the application will damage the "
                               "datacard，Are you sure to quit?");
    EXPECT_EQ(closed, c.answer == IDYES);
    EXPECT_EQ(window_.Handle() == nullptr, c.answer == IDYES);
  }
}

// A log-off or shut-down asked while a line runs is refused; at any other time it is let be.
TEST_F(MainWindowTest, TheSessionMayEndOnlyWhileNoLineRuns) {
  struct Case {
    const char* name;
    int32_t running;
    LRESULT answer;
  } cases[] = {{"idle", 0, TRUE}, {"a line runs", 1, FALSE}, {"the line is back", 0, TRUE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc_.Line(0).running = c.running;
    LRESULT answer = -1;
    FromWorker([&] { answer = SendMessageW(window_.Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF); });
    EXPECT_EQ(answer, c.answer);
  }
}

TEST_F(MainWindowTest, WithoutARunningLineTheWindowClosesWithoutAQuestion) {
  SendMessageW(window_.Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(window_.Handle(), nullptr);
}

// Mends: English warning 2, German step 2 and German warning 2 wrapped into statics one line
// high, and "Fortschritt:" was cut to "Fortschrit". Each language text, wrapped to its static's
// width in the static's font, must fit the static.
TEST(MainWindowTexts, EveryLanguageTextFitsItsStatic) {
  const int ids[] = {IDC_COMPATIBILITY, IDC_STEPS_HEADING, IDC_STEP1,        IDC_STEP2,
                     IDC_STEP3,         IDC_WARNING1,      IDC_WARNING2,     IDC_WARNING3,
                     IDC_DURATION,      IDC_PORT_LABEL,    IDC_CURRENT_LABEL, IDC_PROGRESS_LABEL,
                     IDC_UPDATE_LABEL};
  for (const uint16_t language : {uint16_t{0x0409}, uint16_t{0x0407}}) {
    SCOPED_TRACE(language == 0x0407 ? "German" : "English");
    platform::Win32SerialFactory devices;
    line::CFlotillaDoc doc(line::DocEnvironment{devices, platform::SystemClock(), language,
                                                "C:\\Flotilla\\flotilla.exe"});
    MainWindow window(GetModuleHandleW(nullptr), doc);
    ASSERT_TRUE(window.Create());
    for (const int id : ids) {
      HWND control = GetDlgItem(window.Handle(), id);
      wchar_t text[512] = {};
      GetWindowTextW(control, text, 512);
      SCOPED_TRACE(WideToUtf8(text));
      RECT client{};
      GetClientRect(control, &client);
      HDC dc = GetDC(control);
      HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
      RECT needed{0, 0, client.right, 0};
      DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
      SelectObject(dc, previous);
      ReleaseDC(control, dc);
      EXPECT_LE(needed.right, client.right) << "id " << id;
      EXPECT_LE(needed.bottom, client.bottom) << "id " << id;
    }
  }
}

// One name: the version block's description (what the elevation prompt and the task manager
// show) is the window's caption, and the program's icon has the sizes that 150 % and Explorer
// ask for. This test program carries flotilla.exe's resources.
TEST(ProgramResources, TheDescriptionIsTheCaptionAndTheIconHasEverySize) {
  wchar_t module[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(module, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(module, 0, size, block.data()));
  wchar_t* description = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                             reinterpret_cast<void**>(&description), &length));
  EXPECT_EQ(WideToUtf8(description), kWindowCaption);

  HRSRC group = FindResourceW(nullptr, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  const auto* directory = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, group)));
  ASSERT_NE(directory, nullptr);
  // The group's directory: three 16-bit words, then 14 bytes per image, its width first (0: 256).
  const int count = directory[4] | directory[5] << 8;
  std::vector<int> widths;
  for (int i = 0; i < count; ++i) widths.push_back(directory[6 + 14 * i] == 0 ? 256 : directory[6 + 14 * i]);
  for (const int wanted : {16, 32, 48, 256}) {
    SCOPED_TRACE(wanted);
    EXPECT_NE(std::find(widths.begin(), widths.end(), wanted), widths.end());
  }
}

TEST_F(MainWindowTest, StatusIconsLoadAndAnUnknownOneIsTold) {
  FromWorker([&] { window_.SetLineIcon(0, line::LineIcon::Pass); });
  EXPECT_NE(SendDlgItemMessageW(window_.Handle(), IDC_LINE_ICON, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
  BoxAnswerer answerer(window_.Handle(), IDOK);
  FromWorker([&] { window_.SetLineIcon(0, static_cast<line::LineIcon>(7)); });
  EXPECT_EQ(answerer.Text(), "出现不可知的状态类型!");
}

}  // namespace
}  // namespace flotilla::app

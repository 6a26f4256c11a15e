// flotilla.exe entry: one running copy at a time; the embedded files staged (with the
// connection manager stopped between them), the update window run, and the staging cleaned up
// when the window is gone.
#include <windows.h>

#include "app/form_texts.h"
#include "app/main_window.h"
#include "app/wide_text.h"
#include "hostenv/connection_manager.h"
#include "images/staging.h"
#include "line/flotilla_doc.h"
#include "platform/win32/files.h"
#include "platform/win32/processes.h"
#include "platform/win32/prompts.h"
#include "platform/win32/registry.h"
#include "platform/win32/resources.h"

namespace {

// The name every copy of the program opens; it lives as long as one copy runs.
constexpr wchar_t kInstanceMutexName[] =
    L"lanmuqiaodaociyiyou,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";

// Takes the program's instance name. False, after the box, when another copy runs: this one
// must end before it stages anything, since the other may be updating from those files.
bool FirstInstance(bool german) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
  const DWORD error = GetLastError();
  // A name held by a copy of another user or integrity level is refused rather than opened:
  // that copy runs too.
  if (mutex && error != ERROR_ALREADY_EXISTS) return true;  // kept open until the process ends
  if (!mutex && error != ERROR_ACCESS_DENIED) return true;  // no guard to be had: go on
  using flotilla::app::Utf8ToWide;
  MessageBoxW(nullptr,
              Utf8ToWide(german ? flotilla::app::kSecondInstanceGerman
                                : flotilla::app::kSecondInstanceEnglish)
                  .c_str(),
              Utf8ToWide(flotilla::app::kWindowCaption).c_str(), MB_OK | MB_ICONEXCLAMATION);
  if (mutex) CloseHandle(mutex);
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using namespace flotilla;
  if (!FirstInstance(GetSystemDefaultLangID() == line::kGermanLanguageId)) return 0;
  platform::Win32FileSystem files;
  platform::Win32ModuleResources resources;
  // The staging's boxes carry the window's caption: one name for the program everywhere.
  platform::Win32Prompts prompts(app::kWindowCaption);
  platform::Win32Registry registry;
  platform::Win32Processes processes;
  images::StagingContext staging{files, resources, prompts};
  hostenv::ConnectionManager connection_manager(registry, files, processes, images::kStagingDirectory);
  // A staging directory that cannot be made ends the program with exit code 0.
  if (!images::StageImageFiles(staging, [&connection_manager] {
        connection_manager.FindConnectionManager();
        connection_manager.StopConnectionManager();
      }))
    return 0;
  // The re-plug worker has ended and released ResetUSB.dll before the clean-up runs, so it
  // can delete it; a close during an update cleans up too, then ends the process.
  return app::RunMainWindow(instance, update::ProgramParts{files, &staging, &connection_manager},
                            [&staging, &connection_manager] {
                              images::CleanUpStaging(staging, {}, [&connection_manager] {
                                if (connection_manager.Found()) connection_manager.StartConnectionManager();
                              });
                            });
}

// flotilla.exe entry: the embedded files staged (with the connection manager stopped between
// them), the update window run, and the staging cleaned up when the window is gone.
#include <windows.h>

#include "app/main_window.h"
#include "hostenv/connection_manager.h"
#include "images/staging.h"
#include "platform/win32/files.h"
#include "platform/win32/processes.h"
#include "platform/win32/prompts.h"
#include "platform/win32/registry.h"
#include "platform/win32/resources.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using namespace flotilla;
  platform::Win32FileSystem files;
  platform::Win32ModuleResources resources;
  platform::Win32Prompts prompts;
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
  const int exit_code = app::RunMainWindow(instance, update::ProgramParts{files, &staging, &connection_manager});
  images::CleanUpStaging(staging, {}, [&connection_manager] {
    if (connection_manager.Found()) connection_manager.StartConnectionManager();
  });
  return exit_code;
}

// The seams for the program's own resources, starting processes and the two file dialogs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flotilla::platform {

// Resources embedded in the program's own file.
class ModuleResources {
 public:
  virtual ~ModuleResources() = default;
  // Finds the resource of type `type` (a type name such as "SOURCEMBN") and numeric `id`,
  // loads it and copies its bytes into `bytes`. False when there is no such resource.
  virtual bool Load(const std::string& type, int id, std::vector<uint8_t>& bytes) = 0;
};

// A wait without a time limit (INFINITE).
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// Starting other programs.
class Processes {
 public:
  virtual ~Processes() = default;
  // Starts `file` with `parameters` in `directory`, its window hidden, and waits up to
  // `wait_ms` (kWaitForever: no limit) for it to end. `file` is best an absolute path: a bare
  // name is looked up along the search path, where the program should not look. False when it could not be started; `finished` tells whether it
  // ended within the wait.
  virtual bool StartAndWait(const std::string& file, const std::string& parameters,
                            const std::string& directory, uint32_t wait_ms, bool& finished) = 0;
  // The system directory ("C:\windows\system32"), where the command interpreter lives.
  virtual std::string SystemDirectory() = 0;
};

// The folder browser and the file-open dialog; each returns the chosen path, or nothing when
// the user cancelled.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  virtual std::optional<std::string> BrowseForFolder(const std::string& title) = 0;
  // `filter` in the dialog's own form, such as "NV files (*.nvm)|*.nvm||".
  virtual std::optional<std::string> ChooseFileToOpen(const std::string& filter) = 0;
};

}  // namespace flotilla::platform

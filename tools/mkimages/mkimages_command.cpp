// Parsing flotilla-mkimages' arguments and reporting what it wrote.
#include "tools/mkimages/mkimages_command.h"

#include <cstdint>
#include <optional>

#include "tools/mkimages/image_set.h"

namespace flotilla::mkimages {
namespace {

const char kUsage[] =
    "usage: flotilla-mkimages DIR [--amss-size N] [--efs-size N] [--version TEXT] [--seed N]\n"
    "  Writes a synthetic image set (partition table, boot loaders, amss.mbn with its version\n"
    "  record, efs.mbn, the programmers and NVApp.ini) into DIR, creating it if missing.\n"
    "  --amss-size N   bytes of amss.mbn (default 49152; multiples of 24576 fit the progress)\n"
    "  --efs-size N    bytes of efs.mbn (default 59392; multiples of 29696 fit the progress)\n"
    "  --version TEXT  firmware version in the record (default BD_XV418V1.0.0B09, at most 63)\n"
    "  --seed N        seed of the pseudo-random contents (default 1)\n"
    "  Numbers are decimal or 0x-prefixed hexadecimal.\n";

std::optional<uint64_t> ParseNumber(const std::string& text) {
  int base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  if (at == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

// Bad usage: what is wrong, then the usage.
int Refuse(std::ostream& err, const std::string& why) {
  err << "flotilla-mkimages: " << why << "\n" << kUsage;
  return kExitRefused;
}

}  // namespace

int RunMkImages(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ImageSetOptions options;
  std::optional<std::string> directory;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return kExitOk;
    }
    if (arg.rfind("--", 0) != 0) {
      if (directory) return Refuse(err, "more than one directory given");
      directory = arg;
      continue;
    }
    uint64_t* target = arg == "--amss-size" ? &options.amss_size
                       : arg == "--efs-size" ? &options.efs_size
                       : arg == "--seed"     ? &options.seed
                                             : nullptr;
    if (target == nullptr && arg != "--version") return Refuse(err, "unknown option " + arg);
    if (i + 1 == args.size()) return Refuse(err, arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--version") {
      options.version = value;
      continue;
    }
    const std::optional<uint64_t> number = ParseNumber(value);
    if (!number) return Refuse(err, arg + " needs a number, not \"" + value + "\"");
    *target = *number;
  }
  if (!directory || directory->empty()) return Refuse(err, "no directory given");

  const ImageSetResult result = WriteImageSet(*directory, options);
  switch (result.outcome) {
    case ImageSetResult::Outcome::kRefused:
      return Refuse(err, result.message);
    case ImageSetResult::Outcome::kIoFailed:
      err << "flotilla-mkimages: " << result.message << "\n";
      return kExitIoFailed;
    case ImageSetResult::Outcome::kWritten:
      break;
  }
  out << "image set written to " << *directory << ": version \"" << options.version << "\", seed " << options.seed
      << ", version record at offset " << result.version_record_offset << " of amss.mbn\n";
  return kExitOk;
}

}  // namespace flotilla::mkimages

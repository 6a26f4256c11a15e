// ProgramImages and RestartAfterProgramming.
#include "images/programming.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "discovery/port_wait.h"
#include "protocol/operation_text.h"
#include "protocol/streaming.h"
#include "line/line_version.h"

namespace flotilla::images {
namespace {

using line::LineContext;
using line::Pause;
using line::Recovery;
using line::ReopenAt;
using line::ReopenDiag;
using line::RetryWith;

constexpr uint32_t kBlock = protocol::kStreamBlockBytes;
constexpr uint32_t kProbeAddress = 0xFFFFFFFF;

// How a step shows its progress while it streams its body.
struct ProgressRange {
  int first = 0;           // shown before the first block; 0: the step shows no progress
  int span = 0;            // percentage steps the body is spread over
  uint32_t pause_ms = 0;   // after showing a new value
  uint32_t extra_every_15_ms = 0;  // after a value that is a multiple of 15
  uint32_t pause_before_show_ms = 0;
};

// One image step: which files, which open request, how each part is retried, what it says.
struct ImageStep {
  const char* header_file;  // sent with the open request; nullptr for none
  const char* header_open_message;
  const char* header_length_message;
  const char* body_file;
  const char* body_open_message;
  const char* body_length_message;  // nullptr: an empty body is accepted
  uint8_t type;
  std::vector<Recovery> open_retries;
  const char* open_failed_message;
  std::vector<Recovery> block_retries;
  std::vector<Recovery> close_retries;
  const char* close_failed_message;
  ProgressRange progress;
  bool stoppable;
};

const char kOpenFail[] = "open file fail!";
const char kBadLength[] = "The length of file is not correct";
const char kOpenFailCn[] = "打开文件失败！";
const char kBadLengthCn[] = "文件长度不正确";
const char kStopped[] = "downloading is stopped by manual!";

// One run of the programming passes. `stopped` is set when an application or file system step
// notices that the user stopped the line; from then on nothing is retried and no pass starts.
struct Session {
  LineContext& context;
  bool stopped = false;

  // RetryWith that gives up at once after a stop.
  bool Retry(const std::function<bool()>& attempt, const std::vector<Recovery>& recoveries) {
    return RetryWith(context, attempt, recoveries, [this] { return stopped; });
  }
};

std::string PathOf(LineContext& context, const char* file) {
  return context.Record().paths.image_directory + "\\" + file;
}

// Opens a file of the image set; on Linux the staging path's separators are not understood,
// so the native build also accepts the path with slashes.
bool OpenImageFile(LineContext& context, const char* file, std::ifstream& stream) {
  std::string path = PathOf(context, file);
  stream.open(path, std::ios::binary);
  if (stream) return true;
  for (char& c : path)
    if (c == '\\') c = '/';
  stream.clear();
  stream.open(path, std::ios::binary);
  return static_cast<bool>(stream);
}

uint64_t LengthOf(std::ifstream& stream) {
  stream.seekg(0, std::ios::end);
  const auto length = static_cast<uint64_t>(stream.tellg());
  stream.seekg(0);
  return length;
}

// Reads a header or partition table whole; they must fit the 1024-byte request buffers.
bool ReadSmallFile(LineContext& context, const char* file, const char* open_message,
                   const char* length_message, std::vector<uint8_t>& bytes) {
  std::ifstream stream;
  if (!OpenImageFile(context, file, stream)) {
    context.Status(open_message);
    return false;
  }
  const uint64_t length = LengthOf(stream);
  if (length < 1 || length > kBlock) {
    context.Status(length_message);
    return false;
  }
  bytes.resize(length);
  stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  if (static_cast<uint64_t>(stream.gcount()) != length) {
    context.Status(open_message);
    return false;
  }
  return true;
}

// Progress of a body being streamed: one percentage step per `blocks_per_step` blocks.
class BodyProgress {
 public:
  BodyProgress(Session& session, const ImageStep& step, uint64_t length)
      : session_(session), context_(session.context), step_(step), value_(step.progress.first) {
    if (step.progress.span > 0)
      blocks_per_step_ = (length / kBlock) / static_cast<uint64_t>(step.progress.span);
    if (value_) context_.Progress(value_);
  }

  // After a good block; false when the user stopped the line.
  bool BlockWritten() {
    if (!value_) return true;
    if (++counter_ < blocks_per_step_) return true;
    counter_ = 0;
    ++value_;
    const ProgressRange& p = step_.progress;
    if (p.pause_before_show_ms) context_.Sleep(p.pause_before_show_ms);
    // A body that is not a whole multiple of its steps counts past its range; what is shown
    // stops at the range's end, so the next step's first value never goes back. The pauses
    // still follow the count.
    context_.Progress(std::min(value_, p.first + p.span));
    if (p.pause_ms) context_.Sleep(p.pause_ms);
    if (p.extra_every_15_ms && value_ % 15 == 0) context_.Sleep(p.extra_every_15_ms);
    if (step_.stoppable && context_.Record().running == 0) {
      context_.Status(kStopped);
      session_.stopped = true;
      return false;
    }
    return true;
  }

 private:
  Session& session_;
  LineContext& context_;
  const ImageStep& step_;
  int value_;
  uint64_t blocks_per_step_ = 0;
  uint64_t counter_ = 0;
};

bool RunImageStep(Session& session, const ImageStep& step) {
  LineContext& context = session.context;
  protocol::PhoneChannel& diag = context.Diag();
  std::vector<uint8_t> header;
  if (step.header_file &&
      !ReadSmallFile(context, step.header_file, step.header_open_message,
                     step.header_length_message, header))
    return false;

  std::ifstream body;
  if (!OpenImageFile(context, step.body_file, body)) {
    context.Status(step.body_open_message);
    return false;
  }
  const uint64_t length = LengthOf(body);
  if (step.body_length_message && length < 1) {
    context.Status(step.body_length_message);
    return false;
  }

  if (!session.Retry(
          [&] {
            return protocol::StreamOpenMultiImage(diag, step.type, header.data(),
                                                  static_cast<uint32_t>(header.size()));
          },
          step.open_retries)) {
    context.Status(step.open_failed_message);
    return false;
  }

  BodyProgress progress(session, step, length);
  std::vector<uint8_t> block(kBlock);
  uint64_t offset = 0;
  bool more = true;
  while (more) {
    const uint64_t remaining = length - offset;
    more = remaining > kBlock;
    const uint32_t size = more ? kBlock : static_cast<uint32_t>(remaining);
    body.read(reinterpret_cast<char*>(block.data()), size);
    if (static_cast<uint32_t>(body.gcount()) != size) {
      context.Status(step.body_open_message);
      return false;
    }
    if (!session.Retry(
            [&] {
              return protocol::StreamWrite(diag, block.data(), static_cast<uint32_t>(offset), size);
            },
            step.block_retries)) {
      context.Status(diag.ErrorText());
      return false;
    }
    offset += size;
    if (!progress.BlockWritten()) return false;
  }
  body.close();

  if (!session.Retry([&] { return protocol::StreamClose(diag); }, step.close_retries)) {
    context.Status(step.close_failed_message);
    return false;
  }
  return true;
}

bool PartitionTableStep(LineContext& context) {
  std::vector<uint8_t> table;
  if (!ReadSmallFile(context, "partition.mbn", kOpenFail, kBadLength, table)) return false;
  return RetryWith(context,
                   [&] {
                     return protocol::StreamPartitionTable(context.Diag(), table.data(),
                                                           static_cast<uint32_t>(table.size()));
                   },
                   {{Pause(2000)}, {Pause(2000)}});
}

// The boot loaders' blocks and closes are retried the same way.
const std::vector<Recovery> kBootBlockRetries = {{Pause(500)}, {ReopenDiag(), Pause(2000)}};
// The big images recover by re-opening the data port; the requests stay on the diagnostics port.
const std::vector<Recovery> kBigImageBlockRetries = {
    {Pause(2000)}, {ReopenAt(), Pause(2000)}, {Pause(2000), ReopenAt(), Pause(2000)}};

const ImageStep kQcsblHeader = {
    nullptr, nullptr, nullptr, "qcsblhd_cfgdata.mbn", kOpenFail, kBadLength, 2,
    {{Pause(2000)}, {ReopenDiag(), Pause(2000)}}, "进入Secondbootloaderheader模式失败!",
    kBootBlockRetries, kBootBlockRetries, "ClosePacket error", {}, false};

const ImageStep kQcsbl = {
    nullptr, nullptr, nullptr, "qcsbl.mbn", kOpenFail, kBadLength, 3,
    {{Pause(500)}, {ReopenDiag(), Pause(2000)}}, "enter Secondbootloader mode fail!",
    kBootBlockRetries, kBootBlockRetries, "ClosePacket error", {}, false};

const ImageStep kOemsbl = {
    "oemsblhd.mbn", kOpenFail, kBadLength, "oemsbl.mbn", kOpenFail, kBadLength, 4,
    {{Pause(2000)}}, "enter DownloadOEMbootloader mode fail!",
    kBootBlockRetries, kBootBlockRetries, "ClosePacket error", {}, false};

const ImageStep kApplication = {
    "amsshd.mbn", kOpenFailCn, kBadLengthCn, "amss.mbn", "打开文件失败!", nullptr, 5,
    {{Pause(2000)}, {Pause(92000)}}, "进入DownloadOEMbootloader模式失败!",
    kBigImageBlockRetries, {{Pause(500)}, {ReopenAt(), Pause(2000)}}, "ClosePackert error",
    {26, 24, 0, 2000, 50}, true};

const ImageStep kNandProgrammer = {
    "nandprghd.mbn", kOpenFailCn, kBadLengthCn, "nandprgcombined.mbn", kOpenFailCn, nullptr, 10,
    {{Pause(2000)}, {Pause(2000)}, {Pause(2000)}}, "下载nandprghd失败!",
    kBigImageBlockRetries, {}, "ClosePacket出错", {}, false};

const ImageStep kFileSystem = {
    nullptr, nullptr, nullptr, "efs.mbn", "Open file fail", nullptr, 9,
    {{Pause(2000)}, {Pause(2000)}}, "Enter Download EFS mode fail!",
    {{Pause(2000), ReopenAt(), Pause(2000)}, {Pause(2000), ReopenAt(), Pause(2000)}},
    {{Pause(200)}, {Pause(200)}}, "ClosePackert error",
    {51, 29, 500, 0, 0}, true};

// Brings a flash programmer that may hold a half-written image back to where a new pass can
// start. False when it does not answer.
bool PrepareNextPass(LineContext& context) {
  protocol::PhoneChannel& diag = context.Diag();
  context.Sleep(2000);
  protocol::StreamClose(diag);
  context.Sleep(2000);
  if (protocol::StreamNop(diag)) return true;
  context.Sleep(500);
  if (protocol::StreamNop(diag)) return true;
  context.Sleep(5000);
  return false;
}

bool ProgrammingPass(Session& session, int pass) {
  LineContext& context = session.context;
  protocol::PhoneChannel& diag = context.Diag();
  if (pass > 1 && !PrepareNextPass(context)) return false;

  std::vector<uint8_t> probe(kBlock, 0);
  probe[0] = 'a';
  if (!session.Retry([&] { return protocol::StreamWrite(diag, probe.data(), kProbeAddress, kBlock); },
                 {{Pause(500)}, {ReopenDiag(), Pause(2000)}})) {
    context.Sleep(5000);
    return false;
  }

  context.Sleep(2000);
  if (!session.Retry([&] { return protocol::StreamSecurityMode(diag); },
                 {{Pause(500)}, {ReopenDiag(), Pause(2000)}}))
    return false;

  context.Progress(23);
  if (!session.Retry([&] { return PartitionTableStep(context); },
                 {{Pause(5000)}, {ReopenDiag(), Pause(2000)}}))
    return false;

  context.Sleep(2000);
  if (!session.Retry([&] { return RunImageStep(session, kQcsblHeader); },
                 {{Pause(500)}, {ReopenDiag(), Pause(2000)}}))
    return false;

  context.Progress(24);
  if (!session.Retry([&] { return RunImageStep(session, kQcsbl); }, {{Pause(500)}, {}})) {
    context.Sleep(2000);
    return false;
  }

  if (!session.Retry([&] { return RunImageStep(session, kOemsbl); },
                 {{Pause(500)}, {ReopenDiag(), Pause(2000)}}))
    return false;

  context.Progress(25);
  if (!session.Retry([&] { return RunImageStep(session, kApplication); }, {{Pause(2000)}}))
    return false;

  context.Sleep(10000);
  if (!RunImageStep(session, kNandProgrammer)) return false;

  if (!session.Retry([&] { return RunImageStep(session, kFileSystem); },
                 {{Pause(2000)}, {Pause(2000)}}))
    return false;

  context.Progress(80);
  return true;
}

}  // namespace

ProgrammingResult ProgramImages(LineContext& context) {
  Session session{context};
  const protocol::SerialPort& port = context.Diag().Port();
  int silent_passes = 0;
  for (int pass = 1; pass <= kProgrammingPasses; ++pass) {
    const uint64_t heard = port.BytesRead();
    if (ProgrammingPass(session, pass)) return ProgrammingResult::Written;
    if (session.stopped) return ProgrammingResult::Stopped;
    // Each silent pass costs minutes of time-outs; twenty of them would hold a dead stick for
    // half an hour.
    silent_passes = port.BytesRead() == heard ? silent_passes + 1 : 0;
    if (silent_passes >= kSilentPassesLimit) {
      context.Status(protocol::FormatText(
          "Line%d: the flash programmer answered nothing in %d passes, the passes were stopped",
          context.line + 1, silent_passes));
      break;
    }
  }
  return ProgrammingResult::Failed;
}

bool RestartAfterProgramming(LineContext& context) {
  protocol::StreamReset(context.Diag());
  context.Sleep(3000);

  if (!discovery::WaitForPorts(context, [](const line::LineRecord&) { return true; })) {
    context.Status(context.Diag().ErrorText());
    return false;
  }
  context.Sleep(discovery::kPortSearchPauseMs);

  for (int pass = 0; pass < 60; ++pass) {
    context.Sleep(1000);
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (context.ReopenAt()) break;
      context.Sleep(2000);
    }
    if (context.ReopenDiag() && line::QueryDeviceVersion(context.doc, context.line)) return true;
  }
  return false;
}

}  // namespace flotilla::images

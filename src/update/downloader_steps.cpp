// EnterBootDownloader, UploadFlashProgrammer, StartFlashProgrammer, ResetLineDevice.
#include "update/downloader_steps.h"

#include <fstream>
#include <vector>

#include "discovery/port_wait.h"
#include "protocol/boot_downloader.h"
#include "protocol/diag.h"
#include "protocol/operation_text.h"
#include "protocol/streaming.h"

namespace flotilla::update {
namespace {

using line::DeviceState;
using line::LineContext;
using line::LineRecord;
using line::Pause;
using line::ReopenDiag;
using line::RetryWith;

constexpr int kSubsystemPolls = 100;

}  // namespace

bool EnterBootDownloader(LineContext& context) {
  protocol::PhoneChannel& diag = context.Diag();

  if (!RetryWith(context, [&] { return protocol::PrepareDownloader(diag); },
                 {{Pause(300)}, {Pause(3000)}, {Pause(5000)}}))
    return false;

  context.Sleep(500);
  RetryWith(context, [&] { return protocol::UnlockServiceProgramming(diag); }, {{Pause(300)}});

  context.Sleep(50);
  if (!RetryWith(context, [&] { return protocol::PutOffline(diag); },
                 {{Pause(300)}, {Pause(5000)}, {ReopenDiag(), Pause(8000)}}))
    return false;

  context.Sleep(50);
  bool ready = false;
  for (int poll = 0; poll < kSubsystemPolls && !ready; ++poll) {
    ready = protocol::QuerySubsystem4(diag);
    if (!ready) context.Sleep(500);
  }
  if (!ready) return false;

  // The stick may drop its port while it switches, so the last answer is not needed.
  context.Sleep(50);
  RetryWith(context, [&] { return protocol::SwitchToBootDownloader(diag); },
            {{Pause(3000)}, {Pause(5000)}, {ReopenDiag(), Pause(8000)}});

  // It comes back with its diagnostics port only, speaking the boot downloader protocol.
  context.Sleep(5000);
  if (!discovery::WaitForPorts(context, [](const LineRecord& line) { return line.diag_port != 0; }))
    return false;
  context.ReopenDiag();

  if (!RetryWith(context, [&] { return protocol::DloadNop(diag); },
                 {{Pause(2000)},
                  {Pause(3000)},
                  {Pause(5000), ReopenDiag()},
                  {Pause(8000)},
                  {ReopenDiag(), Pause(10000)}}))
    return false;

  return RetryWith(context,
                   [&] { return protocol::DloadParameters(diag, context.Record().flash_info); },
                   {{Pause(5000)}, {Pause(3000)}, {Pause(5000)}, {ReopenDiag(), Pause(8000)}});
}

bool UploadFlashProgrammer(LineContext& context) {
  protocol::PhoneChannel& diag = context.Diag();
  std::ifstream file(context.Record().paths.flash_programmer, std::ios::binary);
  if (!file) {
    // Natively the image set's "dir\armprg.bin" names "dir/armprg.bin".
    std::string path = context.Record().paths.flash_programmer;
    for (char& c : path)
      if (c == '\\') c = '/';
    file.clear();
    file.open(path, std::ios::binary);
  }
  if (!file) {
    diag.SetErrorText(protocol::FormatText("Line%d :\tOpen armprg.bin fail!", context.line + 1));
    context.prompts.ShowMessage(diag.ErrorText());
    return false;
  }
  file.seekg(0, std::ios::end);
  const uint64_t length = static_cast<uint64_t>(file.tellg());
  file.seekg(0);

  std::vector<uint8_t> block(protocol::kDloadMaxWrite);
  uint64_t offset = 0;
  bool more = true;
  while (more) {
    const uint64_t remaining = length - offset;
    more = remaining > protocol::kDloadMaxWrite;
    const uint32_t size = more ? protocol::kDloadMaxWrite : static_cast<uint32_t>(remaining);
    file.read(reinterpret_cast<char*>(block.data()), size);
    if (static_cast<uint32_t>(file.gcount()) != size) {
      diag.SetErrorText(protocol::FormatText("Line%d :\tRead armprg.bin fail!", context.line + 1));
      return false;
    }
    if (!protocol::DloadWrite(diag, kFlashProgrammerAddress + static_cast<uint32_t>(offset),
                              block.data(), size))
      return false;
    offset += size;
  }
  return true;
}

bool StartFlashProgrammer(LineContext& context) {
  protocol::PhoneChannel& diag = context.Diag();
  // Segment 0x0080, offset 0: the code starts at 0x00800000.
  RetryWith(context, [&] { return protocol::DloadGo(diag, 0x0080, 0x0000); },
            {{Pause(500)}, {ReopenDiag(), Pause(2000)}, {ReopenDiag(), Pause(2000)}});

  context.Sleep(2000);
  if (!RetryWith(context, [&] { return protocol::StreamHello(diag); },
                 {{Pause(2000)}, {ReopenDiag(), Pause(2000)}}))
    return false;

  return RetryWith(context, [&] { return protocol::StreamNop(diag); },
                   {{Pause(1000), ReopenDiag()}, {Pause(1000), ReopenDiag()}});
}

bool ResetLineDevice(LineContext& context, bool in_downloader) {
  context.Record().device_state = DeviceState::NoDevice;
  // A stick that runs the flash programmer understands neither the DIAG nor the boot
  // downloader's reset; its own reset is the one that takes it back to its firmware.
  if (context.Diag().Mode() == protocol::PacketMode::Streaming)
    return protocol::StreamReset(context.Diag());
  return in_downloader ? protocol::DloadReset(context.Diag()) : protocol::ResetPhone(context.Diag());
}

}  // namespace flotilla::update

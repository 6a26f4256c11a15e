// The line-level steps that take a running stick into its boot downloader and start the
// flash programmer there.
#pragma once

#include "line/line_context.h"

namespace flotilla::update {

constexpr uint32_t kFlashProgrammerAddress = 0x00800000;

// From the running firmware into the boot downloader; true when it answered and its flash
// parameters were read into the line.
bool EnterBootDownloader(line::LineContext& context);
// Writes the line's armprg.bin into the stick's memory in 1017-byte blocks.
bool UploadFlashProgrammer(line::LineContext& context);
// Starts the uploaded programmer and greets it; true when it answers a streaming no-op.
bool StartFlashProgrammer(line::LineContext& context);
// Marks the line as without device and resets the stick in the protocol it speaks now: the
// flash programmer's reset when the channel speaks to one, else the boot downloader's or DIAG's.
bool ResetLineDevice(line::LineContext& context, bool in_downloader);

}  // namespace flotilla::update

// The programming sequence: the partition table and the six images through the flash
// programmer, in up to 20 passes, and the stick's return to its firmware afterwards.
#pragma once

#include "line/line_context.h"

namespace flotilla::images {

constexpr int kProgrammingPasses = 20;
// Passes in a row in which the flash programmer sent not one byte, after which no further pass
// is made: a programmer that is gone or hung does not answer the third either.
constexpr int kSilentPassesLimit = 2;

enum class ProgrammingResult {
  Written,  // one pass wrote every step
  Failed,   // every pass failed
  Stopped,  // the user stopped the line; the flash is half-written
};

// Up to kProgrammingPasses passes, fewer when kSilentPassesLimit passes in a row heard nothing
// from the programmer. A stop noticed in the application or file system step ends the run at
// once, without a further retry or pass.
ProgrammingResult ProgramImages(line::LineContext& context);
// Resets the stick and waits until it answers a version query in its firmware again.
bool RestartAfterProgramming(line::LineContext& context);

}  // namespace flotilla::images

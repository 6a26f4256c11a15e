// Failure message composition.
#include "protocol/operation_text.h"

#include <cstdarg>
#include <cstdio>

namespace flotilla::protocol {

std::string FormatText(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  // A text that cannot be formatted still says what went wrong, in the words of its format.
  if (written < 0) return format;
  return buffer;
}

bool FailWith(PhoneChannel& channel, const char* format) {
  channel.ScratchText() = FormatText(format, channel.ErrorText().c_str());
  channel.SetErrorText(channel.ScratchText());
  return false;
}

}  // namespace flotilla::protocol

// Composing an operation's failure message around the reason the exchange left behind.
#pragma once

#include <string>

#include "protocol/phone_channel.h"

namespace flotilla::protocol {

// printf-style text, cut at 1023 characters; the format itself when formatting fails.
std::string FormatText(const char* format, ...);

// Puts `format` (one %s) around the channel's ErrorText and makes that the new ErrorText, as
// in "Cannot Reset the Phone, Since %s". Always false, for `return Fail(...)`.
bool FailWith(PhoneChannel& channel, const char* format);

}  // namespace flotilla::protocol

// flotilla-frame: frames a packet or unframes a frame with the program's own framing code.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/framing.h"

namespace {

using flotilla::protocol::PacketMode;

const char kUsage[] =
    "usage: flotilla-frame encode|decode --mode diag|boot|stream HEX\n"
    "  encode: prints the frame of the packet HEX (command code first)\n"
    "  decode: prints the packet (FCS removed) of the frame HEX\n";

bool ParseMode(const std::string& text, PacketMode& mode) {
  if (text == "diag") mode = PacketMode::Diag;
  else if (text == "boot") mode = PacketMode::BootDownload;
  else if (text == "stream") mode = PacketMode::Streaming;
  else return false;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Accepts hex digits with optional blanks, colons or a 0x prefix per byte.
bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ' ' || c == ':' || c == ',' || c == '\t') continue;
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      ++i;
      continue;
    }
    if (HexValue(c) < 0) return false;
    digits.push_back(c);
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(HexValue(digits[i]) << 4 | HexValue(digits[i + 1])));
  return true;
}

void PrintHex(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) std::printf("%02x", data[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 5 || std::strcmp(argv[2], "--mode") != 0) {
    std::fprintf(stderr, "flotilla-frame: %s\n%s",
                 argc == 1 ? "no command given" : "expected encode|decode --mode MODE HEX", kUsage);
    return 2;
  }
  const std::string verb = argv[1];
  PacketMode mode;
  std::vector<uint8_t> bytes;
  if (!ParseMode(argv[3], mode)) {
    std::fprintf(stderr, "flotilla-frame: unknown mode %s (diag, boot or stream)\n%s", argv[3], kUsage);
    return 2;
  }
  if (!ParseHex(argv[4], bytes)) {
    std::fprintf(stderr, "flotilla-frame: not a hex byte string: %s\n%s", argv[4], kUsage);
    return 2;
  }

  if (verb == "encode") {
    std::vector<uint8_t> frame(flotilla::protocol::MaxFrameLength(bytes.size()));
    size_t n = flotilla::protocol::FramePacket(mode, bytes.data(), bytes.size(), frame.data(),
                                               frame.size());
    PrintHex(frame.data(), n);
    return 0;
  }
  if (verb == "decode") {
    bytes.push_back(0);  // room for an opening flag the frame may lack
    size_t length = bytes.size() - 1;
    auto status = flotilla::protocol::UnframeInPlace(mode, bytes.data(), length, bytes.size());
    if (status != flotilla::protocol::UnframeStatus::Ok) {
      std::fprintf(stderr, "%s\n", flotilla::protocol::UnframeErrorText(status));
      return 1;
    }
    PrintHex(bytes.data(), length - 2);
    return 0;
  }
  std::fprintf(stderr, "flotilla-frame: unknown command %s\n%s", verb.c_str(), kUsage);
  return 2;
}

// The version set reply and the choice of its layout by length.
#include "sim/model/version_set.h"

#include <cstdlib>

#include "protocol/framing.h"

namespace flotilla::sim {
namespace {

constexpr uint8_t kVersionSet = 0x39;
constexpr char kBuildDate[] = "Mar 03 2010";
constexpr char kBuildTime[] = "10:15:00";

struct Layout {
  std::vector<size_t> widths;  // texts 1, 2, ...
  size_t date_width;
  size_t time_width;
};

// The bands in which the host reads the reply in one way.
int Band(size_t raw_length) {
  if (raw_length > 290) return 3;
  if (raw_length > 240) return 2;
  if (raw_length > 130) return 1;
  return 0;
}

Layout LayoutOfBand(int band) {
  switch (band) {
    case 3: return {{30, 30, 30, 30, 30, 30, 30, 30, 31}, 13, 9};
    case 2: return {{30, 30, 30, 30, 30, 30, 30, 30}, 12, 9};
    case 1: return {{30, 30, 30, 30}, 12, 9};
    default: return {{22, 22, 24, 24}, 13, 10};
  }
}

void PutField(std::vector<uint8_t>& out, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i)
    out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : uint8_t{0});
  out.push_back(0);
}

std::vector<uint8_t> NaturalReply(const VersionTexts& texts, const Layout& layout) {
  std::vector<uint8_t> out{kVersionSet};
  for (size_t i = 0; i < layout.widths.size(); ++i) PutField(out, texts[i], layout.widths[i]);
  PutField(out, kBuildDate, layout.date_width);
  PutField(out, kBuildTime, layout.time_width);
  return out;
}

std::vector<uint8_t> Resized(const std::vector<uint8_t>& natural, size_t length) {
  std::vector<uint8_t> out(natural.begin(),
                           natural.begin() + static_cast<long>(std::min(length, natural.size())));
  out.resize(length, 0);
  return out;
}

}  // namespace

size_t FramedLength(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
  return protocol::FramePacket(protocol::PacketMode::Diag, packet.data(), packet.size(),
                               frame.data(), frame.size());
}

std::vector<uint8_t> BuildVersionSetReply(const VersionTexts& texts, unsigned raw_length) {
  if (raw_length == 0) return NaturalReply(texts, LayoutOfBand(3));
  const size_t target = raw_length;
  const int band = Band(target);
  const std::vector<uint8_t> natural = NaturalReply(texts, LayoutOfBand(band));

  // Close in on the packet length whose frame is `target` long: every packet byte is one or
  // two bytes on the wire, and the FCS two to four.
  size_t length = target > 3 ? target - 3 : 1;
  for (int step = 0; step < 8; ++step) {
    const size_t framed = FramedLength(Resized(natural, length));
    if (framed == target) return Resized(natural, length);
    long next = static_cast<long>(length) + static_cast<long>(target) - static_cast<long>(framed);
    length = next < 1 ? 1 : static_cast<size_t>(next);
  }
  // Escapes jump over the target: take the nearest length that the host reads the same way.
  size_t best = 0, best_distance = SIZE_MAX;
  for (size_t candidate = length > 4 ? length - 4 : 1; candidate <= length + 4; ++candidate) {
    const size_t framed = FramedLength(Resized(natural, candidate));
    const size_t distance = framed > target ? framed - target : target - framed;
    if (Band(framed) == band && distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return Resized(natural, best ? best : length);
}

}  // namespace flotilla::sim

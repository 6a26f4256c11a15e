// Encoding and decoding the image header; the CRC-32 of image bodies.
#include "tools/mkimages/image_header.h"

namespace flotilla::mkimages {
namespace {

constexpr size_t kIdOffset = 0;
constexpr size_t kFormatOffset = 4;
constexpr size_t kBodyOffsetOffset = 8;
constexpr size_t kLoadAddressOffset = 12;
constexpr size_t kBodySizeOffset = 16;
constexpr size_t kBodyCrcOffset = 20;

void PutLittle32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittle32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

// The reflected form of the IEEE 802.3 polynomial.
constexpr uint32_t kCrcPolynomial = 0xEDB88320;

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    table[n] = c;
  }
  return table;
}

}  // namespace

ImageHeaderBytes EncodeImageHeader(const ImageHeader& header) {
  ImageHeaderBytes bytes{};
  PutLittle32(&bytes[kIdOffset], static_cast<uint32_t>(header.image_id));
  PutLittle32(&bytes[kFormatOffset], kImageHeaderFormat);
  PutLittle32(&bytes[kBodyOffsetOffset], header.body_offset);
  PutLittle32(&bytes[kLoadAddressOffset], header.load_address);
  PutLittle32(&bytes[kBodySizeOffset], header.body_size);
  PutLittle32(&bytes[kBodyCrcOffset], header.body_crc);
  return bytes;
}

std::optional<ImageHeader> DecodeImageHeader(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length < kImageHeaderBytes) return std::nullopt;
  if (GetLittle32(bytes + kFormatOffset) != kImageHeaderFormat) return std::nullopt;
  ImageHeader header;
  header.image_id = static_cast<ImageId>(GetLittle32(bytes + kIdOffset));
  header.body_offset = GetLittle32(bytes + kBodyOffsetOffset);
  header.load_address = GetLittle32(bytes + kLoadAddressOffset);
  header.body_size = GetLittle32(bytes + kBodySizeOffset);
  header.body_crc = GetLittle32(bytes + kBodyCrcOffset);
  return header;
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace flotilla::mkimages

// The 40-byte image header of the synthetic image set, and the checksum it carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace flotilla::mkimages {

// Ten little-endian 32-bit words:
//   0  image id            (ImageId)
//   4  header format       (kImageHeaderFormat)
//   8  body offset         bytes in front of the body in the body's own file
//  12  load address        where the image lives on the stick
//  16  body size           bytes
//  20  body CRC-32         of the body bytes (IEEE polynomial, as zlib computes it)
//  24  reserved, zero      (four words)
constexpr size_t kImageHeaderBytes = 40;
constexpr uint32_t kImageHeaderFormat = 1;

// Streamed images take the multi-image open type of their step as id; the flash programmer,
// which the boot downloader loads instead, has an id of its own.
enum class ImageId : uint32_t {
  kQcsbl = 3,
  kOemsbl = 4,
  kAmss = 5,
  kEfs = 9,
  kNandProgrammer = 10,
  kFlashProgrammer = 16,
};

struct ImageHeader {
  ImageId image_id = ImageId::kQcsbl;
  uint32_t body_offset = 0;
  uint32_t load_address = 0;
  uint32_t body_size = 0;
  uint32_t body_crc = 0;
};

using ImageHeaderBytes = std::array<uint8_t, kImageHeaderBytes>;

ImageHeaderBytes EncodeImageHeader(const ImageHeader& header);

// The header at `bytes`; nothing when fewer than 40 bytes are given or the format is not ours.
std::optional<ImageHeader> DecodeImageHeader(const uint8_t* bytes, size_t length);

// Continues a CRC-32 over `length` more bytes; start with crc 0.
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace flotilla::mkimages

// The flash store and its files.
#include "sim/model/flash_store.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "protocol/version_record_layout.h"

namespace flotilla::sim {
namespace {

namespace fs = std::filesystem;

bool ReadFile(const fs::path& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  // Written aside and renamed, so a reader never sees half a file.
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::error_code ignored;
  fs::rename(tmp, path, ignored);
}

std::string ImageFile(int type, const char* suffix) {
  return "image-" + std::to_string(type) + suffix;
}

}  // namespace

bool FlashStore::Keep(const std::string& dir, std::string& error) {
  const fs::path flash = fs::path(dir) / "flash";
  std::error_code ec;
  fs::create_directories(flash, ec);
  if (ec) {
    error = "cannot create " + flash.string() + ": " + ec.message();
    return false;
  }
  dir_ = flash.string();
  ReadFile(flash / "partition.bin", partition_);
  for (int type = 0; type < 256; ++type) {
    FlashImage image;
    if (!ReadFile(flash / ImageFile(type, ".bin"), image.body)) continue;
    ReadFile(flash / ImageFile(type, ".hdr"), image.header);
    images_[type] = std::move(image);
  }
  return true;
}

void FlashStore::SetPartitionTable(std::vector<uint8_t> table) {
  partition_ = std::move(table);
  if (!dir_.empty()) WriteFile(fs::path(dir_) / "partition.bin", partition_);
}

void FlashStore::Commit(int type, FlashImage image) {
  FlashImage& slot = images_[type] = std::move(image);
  if (dir_.empty()) return;
  const fs::path dir(dir_);
  if (slot.header.empty()) {
    std::error_code ignored;
    fs::remove(dir / ImageFile(type, ".hdr"), ignored);
  } else {
    WriteFile(dir / ImageFile(type, ".hdr"), slot.header);
  }
  WriteFile(dir / ImageFile(type, ".bin"), slot.body);
}

const FlashImage* FlashStore::Image(int type) const {
  auto it = images_.find(type);
  return it == images_.end() ? nullptr : &it->second;
}

std::string FlashStore::ApplicationVersion() const {
  const FlashImage* image = Image(kApplicationImage);
  if (!image) return {};
  const auto& body = image->body;
  const auto& marker = protocol::kVersionRecordMarker;
  for (size_t at = 0; at + marker.size() <= body.size(); at += 4) {
    if (std::equal(marker.begin(), marker.end(), body.begin() + static_cast<long>(at)))
      return protocol::VersionTextOfRecord(body.data() + at, body.size() - at);
  }
  return {};
}

}  // namespace flotilla::sim

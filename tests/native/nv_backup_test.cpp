// NV backup and restore against the in-process stick on the virtual clock: the
// table, the file, the reads and writes on the wire, the progress, and the mends that keep
// the last good backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "line/flotilla_doc.h"
#include "line/line_context.h"
#include "nvdata/nv_backup.h"
#include "nvdata/nv_table.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "sim/model/nv_items.h"
#include "sim/transport/inprocess_stick.h"
#include "tap_device.h"

namespace flotilla {
namespace {

using nvdata::kNvFileBytes;
using nvdata::kNvRecordBytes;
using nvdata::NvTableIds;
using Bytes = std::vector<uint8_t>;

constexpr int kAtPort = 3;
constexpr int kDiagPort = 4;
constexpr char kBackupPath[] = "C:\\Flotilla\\\\Channel1.nvm";

// One DIAG request as the stick received it, with the virtual time it was sent.
struct Request {
  uint64_t ms;
  Bytes packet;  // unframed, without FCS
  uint8_t code() const { return packet.empty() ? 0 : packet[0]; }
  uint16_t item() const { return packet.size() >= 3 ? protocol::ReadLe16(packet.data() + 1) : 0xFFFF; }
};

// Notes every DIAG request the host writes, unframed, with the virtual time it was written.
taps::TapNote NoteRequests(platform::VirtualClock& clock, std::vector<Request>& requests) {
  return [&clock, &requests](const Bytes& written) {
    Bytes frame = written;
    size_t length = frame.size();
    if (protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length, frame.size()) !=
            protocol::UnframeStatus::Ok || length < 2)
      return;
    frame.resize(length - 2);
    requests.push_back({clock.NowMs(), frame});
  };
}

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int percent) override { progress.push_back(percent); }
  std::vector<std::string> statuses;
  std::vector<int> progress;
};

// Passes everything to a memory file system and notes the order of the file operations;
// can make Flush fail.
class RecordingFileSystem : public platform::FileSystem {
 public:
  explicit RecordingFileSystem(platform::MemoryFileSystem& inner) : inner_(inner) {}
  std::vector<std::string> operations;
  bool fail_flush = false;

  class Handle : public platform::FileHandle {
   public:
    Handle(RecordingFileSystem& owner, std::unique_ptr<platform::FileHandle> inner, std::string path)
        : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}
    ~Handle() override { owner_.operations.push_back("close " + path_); }
    bool Write(const void* data, size_t count) override {
      owner_.operations.push_back("write " + path_);
      return inner_->Write(data, count);
    }
    size_t Read(void* buffer, size_t count) override { return inner_->Read(buffer, count); }
    bool Seek(uint64_t offset) override { return inner_->Seek(offset); }
    bool Length(uint64_t& length) override { return inner_->Length(length); }
    bool Flush() override {
      owner_.operations.push_back("flush " + path_);
      return !owner_.fail_flush && inner_->Flush();
    }

   private:
    RecordingFileSystem& owner_;
    std::unique_ptr<platform::FileHandle> inner_;
    std::string path_;
  };

  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  bool CreateDirectoryLevel(const std::string& path) override { return inner_.CreateDirectoryLevel(path); }
  bool DeleteFile(const std::string& path) override {
    operations.push_back("delete " + path);
    return inner_.DeleteFile(path);
  }
  std::unique_ptr<platform::FileHandle> OpenForReading(const std::string& path) override {
    auto file = inner_.OpenForReading(path);
    return file ? std::make_unique<Handle>(*this, std::move(file), path) : nullptr;
  }
  std::unique_ptr<platform::FileHandle> CreateForWriting(const std::string& path) override {
    operations.push_back("create " + path);
    auto file = inner_.CreateForWriting(path);
    return file ? std::make_unique<Handle>(*this, std::move(file), path) : nullptr;
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    operations.push_back("replace " + from + " -> " + to);
    return inner_.ReplaceFile(from, to);
  }
  std::string ModuleFileName() override { return inner_.ModuleFileName(); }
  std::string CurrentDirectory() override { return inner_.CurrentDirectory(); }

 private:
  platform::MemoryFileSystem& inner_;
};

class ScriptedDialogs : public platform::FileDialogs {
 public:
  std::optional<std::string> folder;
  std::optional<std::string> file;
  std::vector<std::string> asked;
  std::optional<std::string> BrowseForFolder(const std::string& title) override {
    asked.push_back(title);
    return folder;
  }
  std::optional<std::string> ChooseFileToOpen(const std::string& filter) override {
    asked.push_back(filter);
    return file;
  }
};

sim::FaultRule NvFault(int code, sim::FaultAction action, int item = -1, uint32_t times = 0) {
  sim::FaultRule rule;
  rule.code = code;
  rule.nv_item = item;
  rule.action = action;
  rule.times = times;
  return rule;
}

size_t IndexOf(uint16_t id, size_t occurrence = 0) {
  const auto& ids = NvTableIds();
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == id && occurrence-- == 0) return i;
  return SIZE_MAX;
}

uint16_t RecordId(const Bytes& file, size_t i) { return protocol::ReadLe16(&file[i * kNvRecordBytes]); }
uint16_t RecordStatus(const Bytes& file, size_t i) {
  return protocol::ReadLe16(&file[i * kNvRecordBytes + 132]);
}
sim::NvValue RecordValue(const Bytes& file, size_t i) {
  sim::NvValue value{};
  std::copy_n(&file[i * kNvRecordBytes + 4], value.size(), value.begin());
  return value;
}

class NvBackupTest : public ::testing::Test {
 protected:
  ~NvBackupTest() override {
    context_.reset();
    doc_.reset();
    factory_.reset();
    stick_.reset();
  }

  void Start() {
    context_.reset();
    doc_.reset();
    stick_ = std::make_unique<sim::InProcessStick>(clock_, config_);
    stick_->SetPortNumbers(kAtPort, kDiagPort);
    factory_ = std::make_unique<taps::TapFactory>(*stick_, kDiagPort, NoteRequests(clock_, requests_));
    doc_ = std::make_unique<line::CFlotillaDoc>(
        line::DocEnvironment{*factory_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"});
    context_ = std::make_unique<line::LineContext>(
        line::LineContext{*doc_, registry_, display_, prompts_, 0});
    ASSERT_TRUE(doc_->OpenDiagPort(0, kDiagPort, line::kLineBaud));
    files_.AddDirectory("C:\\Flotilla");
  }

  bool Backup(platform::FileSystem* files = nullptr,
              nvdata::BackupNeed need = nvdata::BackupNeed::AnswerFromSome) {
    nvdata::NvEnvironment environment{files ? *files : files_, nullptr, silent_limit_,
                                      silent_total_limit_};
    return nvdata::BackupNvItems(*context_, environment, kBackupPath, need);
  }
  bool Restore(platform::FileSystem* files = nullptr) {
    nvdata::NvEnvironment environment{files ? *files : files_, nullptr};
    return nvdata::RestoreNvItems(*context_, environment, kBackupPath);
  }

  std::vector<Request> Requests(uint8_t code) const {
    std::vector<Request> out;
    for (const Request& r : requests_)
      if (r.code() == code) out.push_back(r);
    return out;
  }
  std::vector<uint16_t> Items(uint8_t code) const {
    std::vector<uint16_t> out;
    for (const Request& r : Requests(code)) out.push_back(r.item());
    return out;
  }

  sim::NvValue StickValue(uint16_t id) {
    sim::NvValue value{};
    stick_->Model().Nv().Read(id, value);
    return value;
  }

  // A backup file as a good backup of the stick's current store would be.
  Bytes GoodFile() {
    nvdata::NvTable table = nvdata::BuildNvTable();
    for (size_t i = 0; i < nvdata::kNvListedItems; ++i) {
      sim::NvValue value{};
      table[i].status = stick_->Model().Nv().Read(table[i].id, value);
      std::copy(value.begin(), value.end(), table[i].value.begin());
    }
    return nvdata::EncodeNvFile(table);
  }

  platform::VirtualClock clock_;
  sim::StickConfig config_;
  std::unique_ptr<sim::InProcessStick> stick_;
  std::unique_ptr<taps::TapFactory> factory_;
  std::vector<Request> requests_;
  std::unique_ptr<line::CFlotillaDoc> doc_;
  std::unique_ptr<line::LineContext> context_;
  platform::MemoryRegistry registry_;
  platform::MemoryFileSystem files_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  unsigned silent_limit_ = 10;
  unsigned silent_total_limit_ = 25;
};

// --- The table and the file -------------------------------------------------------------

TEST(NvTable, ListsTheSpecsIdsInOrderWithTheTerminatorAndZeroRecords) {
  const auto& ids = NvTableIds();
  ASSERT_EQ(ids.size(), 646u);
  // The simulated stick holds every id of the same table; the host keeps its own copy.
  EXPECT_EQ(ids, sim::BackupTableIds());
  EXPECT_EQ(ids.front(), 0);
  EXPECT_EQ(ids.back(), 550) << "the IMEI item comes last";
  const nvdata::NvTable table = nvdata::BuildNvTable();
  EXPECT_EQ(table.size(), 1125u);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(table[i].id, ids[i]);
  EXPECT_EQ(table[646].id, 10000);
  for (size_t i = 647; i < table.size(); ++i) ASSERT_EQ(table[i].id, 0) << i;
}

TEST(NvTable, TheRepeatedIdsHoldTwoPlacesOfTheirOwn) {
  struct Row {
    uint16_t id;
    size_t first, second;
  };
  // 2724-2729 after 2009-2020 and again at the head of 2724-2741; 4965, 4970, 4975 before
  // 4969 and again after 4872.
  const Row rows[] = {{2724, 282, 440}, {2729, 287, 445}, {4965, 603, 611},
                      {4970, 604, 612}, {4975, 605, 613}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(IndexOf(row.id, 0), row.first);
    EXPECT_EQ(IndexOf(row.id, 1), row.second);
    EXPECT_EQ(IndexOf(row.id, 2), SIZE_MAX);
  }
  const auto& ids = NvTableIds();
  for (uint16_t id : ids) {
    const auto n = std::count(ids.begin(), ids.end(), id);
    const bool repeated = (id >= 2724 && id <= 2729) || id == 4965 || id == 4970 || id == 4975;
    ASSERT_EQ(n, repeated ? 2 : 1) << id;
  }
}

TEST(NvFile, RecordsOf136BytesInTheSpecsLayout) {
  nvdata::NvTable table = nvdata::BuildNvTable();
  table[1].value.fill(0xA5);
  table[1].status = 5;
  const Bytes file = nvdata::EncodeNvFile(table);
  ASSERT_EQ(file.size(), 153000u);
  const uint8_t* record = &file[1 * 136];
  EXPECT_EQ(protocol::ReadLe16(record), 22);
  EXPECT_EQ(protocol::ReadLe16(record + 2), 0) << "reserved";
  EXPECT_EQ(record[4], 0xA5);
  EXPECT_EQ(record[131], 0xA5);
  EXPECT_EQ(protocol::ReadLe16(record + 132), 5);
  EXPECT_EQ(protocol::ReadLe16(record + 134), 0) << "reserved";
  EXPECT_EQ(protocol::ReadLe16(&file[646 * 136]), 10000);

  nvdata::NvTable back{};
  ASSERT_EQ(nvdata::DecodeNvFile(file.data(), file.size(), back), nvdata::NvFileCheck::Ok);
  EXPECT_EQ(back[1].status, 5);
  EXPECT_EQ(back[1].value, table[1].value);
}

TEST(NvFile, RefusesWhatIsNotABackupFile) {
  const Bytes good = nvdata::EncodeNvFile(nvdata::BuildNvTable());
  struct Row {
    const char* name;
    Bytes bytes;
    nvdata::NvFileCheck expected;
  };
  Bytes swapped = good;
  std::swap_ranges(&swapped[10 * 136], &swapped[10 * 136 + 2], &swapped[11 * 136]);
  Bytes no_end = good;
  protocol::WriteLe16(&no_end[646 * 136], 0);
  Bytes early_end = good;
  protocol::WriteLe16(&early_end[300 * 136], 10000);
  Bytes short_file(good.begin(), good.end() - 1);
  Bytes long_file = good;
  long_file.push_back(0);
  const Row rows[] = {
      {"152,999 bytes", short_file, nvdata::NvFileCheck::WrongLength},
      {"153,001 bytes", long_file, nvdata::NvFileCheck::WrongLength},
      {"empty", {}, nvdata::NvFileCheck::WrongLength},
      {"two records swapped", swapped, nvdata::NvFileCheck::OutOfOrder},
      {"an early terminator", early_end, nvdata::NvFileCheck::OutOfOrder},
      {"no terminator", no_end, nvdata::NvFileCheck::NoTerminator},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    nvdata::NvTable table{};
    EXPECT_EQ(nvdata::DecodeNvFile(row.bytes.data(), row.bytes.size(), table), row.expected);
  }
}

// --- Backup ------------------------------------------------------------------------------

TEST_F(NvBackupTest, ReadsEveryItemInTableOrderAndKeepsValuesAndStatuses) {
  config_.inactive_nv = {22, 8005};
  // The first occurrence of 2724 answers "item not valid" three times, the second reads.
  config_.faults.Add([] {
    auto rule = NvFault(0x26, sim::FaultAction::NvStatus, 2724, 3);
    rule.nv_status = 8;
    return rule;
  }());
  Start();
  stick_->Model().Nv().Write(2724, sim::NvValue{0x27, 0x24});
  ASSERT_TRUE(Backup()) << (display_.statuses.empty() ? "" : display_.statuses.back());

  // Each item once in table order; an item that fails is read three times, 100 ms apart.
  std::vector<uint16_t> expected;
  for (uint16_t id : NvTableIds()) {
    const bool refused = id == 22 || id == 8005 || (id == 2724 && expected.size() < 400);
    for (int n = refused ? 3 : 1; n > 0; --n) expected.push_back(id);
  }
  EXPECT_EQ(Items(0x26), expected);

  const Bytes* file = files_.File(kBackupPath);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->size(), kNvFileBytes);
  for (size_t i = 0; i < NvTableIds().size(); ++i) {
    const uint16_t id = NvTableIds()[i];
    SCOPED_TRACE(testing::Message() << "record " << i << " id " << id);
    ASSERT_EQ(RecordId(*file, i), id);
    const uint16_t status = id == 22 || id == 8005 ? 5 : i == IndexOf(2724, 0) ? 8 : 0;
    ASSERT_EQ(RecordStatus(*file, i), status);
    ASSERT_EQ(RecordValue(*file, i), status ? sim::NvValue{} : StickValue(id));
  }
  EXPECT_EQ(RecordId(*file, 646), 10000);
  EXPECT_EQ(files_.FileNames().size(), 1u) << "no temporary file stays behind";
}

TEST_F(NvBackupTest, ProgressRunsFrom10By10Over1125PerRecord) {
  Start();
  ASSERT_TRUE(Backup());
  std::vector<int> expected;
  for (int i = 0; i < 646; ++i) expected.push_back(10 + i * 10 / 1125);
  EXPECT_EQ(display_.progress, expected);
  EXPECT_EQ(display_.progress.back(), 15);
}

TEST_F(NvBackupTest, SendsTheDownloadCheckFirst) {
  Start();
  ASSERT_TRUE(Backup());
  ASSERT_FALSE(requests_.empty());
  EXPECT_EQ(requests_.front().packet[0], 0x4B);
  EXPECT_EQ(requests_.front().packet[1], 0xA3);
}

// Mend: the new file goes beside the old one, is flushed and closed, and only then replaces
// it; what the old file held is first kept, the same way, as its earlier generation.
TEST_F(NvBackupTest, WritesATemporaryFileFlushesItAndOnlyThenReplacesTheOldOne) {
  Start();
  const Bytes old(kNvFileBytes, 0x11);
  files_.SetFile(kBackupPath, old);
  RecordingFileSystem recording(files_);
  ASSERT_TRUE(Backup(&recording));
  const std::string path = kBackupPath;
  const std::string earlier = "C:\\Flotilla\\\\Channel1.previous.nvm";
  const std::vector<std::string> expected = {
      "close " + path,  // the old file, read to be compared and kept
      "create " + earlier + ".tmp", "write " + earlier + ".tmp", "flush " + earlier + ".tmp",
      "close " + earlier + ".tmp", "replace " + earlier + ".tmp -> " + earlier,
      "create " + path + ".tmp", "write " + path + ".tmp", "flush " + path + ".tmp",
      "close " + path + ".tmp", "replace " + path + ".tmp -> " + path};
  EXPECT_EQ(recording.operations, expected);
  ASSERT_NE(files_.File(kBackupPath), nullptr);
  EXPECT_EQ(*files_.File(kBackupPath), GoodFile());
  ASSERT_NE(files_.File(earlier), nullptr);
  EXPECT_EQ(*files_.File(earlier), old);
}

TEST_F(NvBackupTest, AFailedWriteLeavesTheOldBackupAsItWas) {
  struct Row {
    const char* name;
    uint64_t space_left;
    bool fail_replace;
    bool fail_flush;
    int cause;
    const char* message;
  };
  const Row rows[] = {
      {"a full disk", 1000, false, false, 13,
       "Disk full while accessing C:\\Flotilla\\\\Channel1.previous.nvm."},
      {"a failed flush", UINT64_MAX, false, true, 1,
       "An unknown error occurred while accessing C:\\Flotilla\\\\Channel1.previous.nvm."},
      {"a failed replace", UINT64_MAX, true, false, 1,
       "An unknown error occurred while accessing C:\\Flotilla\\\\Channel1.previous.nvm."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    files_ = platform::MemoryFileSystem{};
    display_ = RecordingDisplay{};
    prompts_.messages.clear();
    Start();
    const Bytes old(kNvFileBytes, 0x22);
    files_.SetFile(kBackupPath, old);
    files_.space_left = row.space_left;
    files_.fail_replace = row.fail_replace;
    RecordingFileSystem recording(files_);
    recording.fail_flush = row.fail_flush;
    EXPECT_FALSE(Backup(&recording));
    ASSERT_NE(files_.File(kBackupPath), nullptr);
    EXPECT_EQ(*files_.File(kBackupPath), old);
    EXPECT_EQ(files_.FileNames().size(), 1u) << "the temporary file is deleted";
    EXPECT_EQ(prompts_.messages, std::vector<std::string>{row.message});
    ASSERT_FALSE(display_.statuses.empty());
    // The earlier generation is written first, so it is what fails here.
    EXPECT_EQ(display_.statuses.back(), "线路 1 失败,保存数据到 C:\\Flotilla\\\\Channel1.previous.nvm (" +
                                            std::to_string(row.cause) + ")");
  }
}

TEST_F(NvBackupTest, AFileThatCannotBeCreatedIsAFileError) {
  Start();
  files_.read_only_directories.insert("c:\\flotilla\\");
  files_.read_only_directories.insert("c:\\flotilla");
  EXPECT_FALSE(Backup());
  EXPECT_EQ(prompts_.messages,
            std::vector<std::string>{"Access to C:\\Flotilla\\\\Channel1.nvm was denied."});
  EXPECT_EQ(display_.statuses.back(), "线路 1 失败,保存数据到 C:\\Flotilla\\\\Channel1.nvm (5)");
}

// Mend: a stick that answers no NV read at all gives no backup, and the old one stays.
TEST_F(NvBackupTest, NotOneItemReadIsAFailureAndLeavesTheOldFile) {
  config_.faults.Add(NvFault(0x26, sim::FaultAction::NoReply));
  Start();
  silent_limit_ = 0;  // this mend on its own, without the limits of silent items
  silent_total_limit_ = 0;
  const Bytes old(kNvFileBytes, 0x33);
  files_.SetFile(kBackupPath, old);
  EXPECT_FALSE(Backup());
  EXPECT_EQ(Items(0x26).size(), 646u * 3 * 3) << "three reads of three attempts per item";
  EXPECT_EQ(*files_.File(kBackupPath), old);
  EXPECT_EQ(files_.FileNames().size(), 1u);
  EXPECT_EQ(display_.statuses.back(), "Line1: the stick answered no NV read, the NV backup was not written");
}

// Mend: after 10 items in a row without a valid answer the backup stops.
TEST_F(NvBackupTest, TenSilentItemsInARowStopTheBackupAndLeaveTheOldFile) {
  config_.faults.Add(NvFault(0x26, sim::FaultAction::NoReply));
  Start();
  const Bytes old(kNvFileBytes, 0x44);
  files_.SetFile(kBackupPath, old);
  const uint64_t start_ms = clock_.NowMs();
  EXPECT_FALSE(Backup());
  // Every item's three reads of three attempts each would hold a dead stick for hours; ten
  // items end it within minutes.
  EXPECT_LE(clock_.NowMs() - start_ms, 5u * 60 * 1000);
  const std::vector<uint16_t> first_ten(NvTableIds().begin(), NvTableIds().begin() + 10);
  std::vector<uint16_t> read = Items(0x26);
  read.erase(std::unique(read.begin(), read.end()), read.end());
  EXPECT_EQ(read, first_ten);
  EXPECT_EQ(*files_.File(kBackupPath), old);
  EXPECT_EQ(display_.statuses.back(),
            "Line1: no valid answer to 10 NV items in a row, the NV backup was stopped");
}

// A stick that answers some items and not others is still backed up: the silent
// ones with 0xFFFF and zeros, nine in a row not enough to stop it.
TEST_F(NvBackupTest, SomeSilentItemsAreKeptWithTheirStatus) {
  // 519-525, 529 and 530 are nine neighbours in the table.
  const std::vector<uint16_t> silent = {519, 520, 521, 522, 523, 524, 525, 529, 530, 8020};
  for (uint16_t id : silent) config_.faults.Add(NvFault(0x26, sim::FaultAction::NoReply, id));
  Start();
  ASSERT_TRUE(Backup());
  const Bytes* file = files_.File(kBackupPath);
  ASSERT_NE(file, nullptr);
  for (size_t i = 0; i < NvTableIds().size(); ++i) {
    const uint16_t id = NvTableIds()[i];
    const bool quiet = std::count(silent.begin(), silent.end(), id) != 0;
    ASSERT_EQ(RecordStatus(*file, i), quiet ? 0xFFFF : 0) << id;
    ASSERT_EQ(RecordValue(*file, i), quiet ? sim::NvValue{} : StickValue(id)) << id;
  }
}

TEST_F(NvBackupTest, TheTenthSilentItemInARowStopsIt) {
  // Ten neighbours: 519-525 and 529-531.
  for (uint16_t id : {519, 520, 521, 522, 523, 524, 525, 529, 530, 531})
    config_.faults.Add(NvFault(0x26, sim::FaultAction::NoReply, id));
  Start();
  EXPECT_FALSE(Backup());
  EXPECT_EQ(Items(0x26).back(), 531);
  EXPECT_EQ(files_.File(kBackupPath), nullptr);
}

// Mend: before the images are written, an item whose value the backup does not know fails it,
// since the new file system would lose the item; the stick's word that it keeps no such item
// is known enough.
TEST_F(NvBackupTest, BeforeAReflashEveryItemMustBeAccountedFor) {
  struct Case {
    const char* name;
    sim::FaultAction action;
    uint16_t status;  // NvStatus
    bool backed_up;
    const char* status_line;  // the last one, when the backup fails
  } cases[] = {
      {"the IMEI never answered", sim::FaultAction::NoReply, 0, false,
       "Line1: NV item 550 could not be read (status 65535), the NV backup was not written"},
      {"the IMEI's read failed", sim::FaultAction::NvStatus, 4, false,
       "Line1: NV item 550 could not be read (status 4), the NV backup was not written"},
      {"the NV full", sim::FaultAction::NvStatus, 3, false,
       "Line1: NV item 550 could not be read (status 3), the NV backup was not written"},
      {"the IMEI not active", sim::FaultAction::NvStatus, 5, true, ""},
      {"no such item", sim::FaultAction::NvStatus, 6, true, ""},
      {"not valid for this stick", sim::FaultAction::NvStatus, 8, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config_.faults = sim::FaultPlan();
    sim::FaultRule rule = NvFault(0x26, c.action, 550);
    rule.nv_status = c.status;
    config_.faults.Add(rule);
    Start();
    const Bytes old(kNvFileBytes, 0x55);
    files_.SetFile(kBackupPath, old);
    EXPECT_EQ(Backup(nullptr, nvdata::BackupNeed::AnswerFromEvery), c.backed_up);
    if (c.backed_up) {
      EXPECT_EQ(RecordStatus(*files_.File(kBackupPath), IndexOf(550)), c.status);
    } else {
      EXPECT_EQ(*files_.File(kBackupPath), old);
      EXPECT_EQ(display_.statuses.back(), c.status_line);
    }
    // The NV backup run keeps what it could not read and writes the file.
    files_.SetFile(kBackupPath, old);
    EXPECT_TRUE(Backup());
    EXPECT_EQ(RecordStatus(*files_.File(kBackupPath), IndexOf(550)), c.status ? c.status : 0xFFFF);
  }
}

// Mend: a backup never replaces a better one. The file is kept when it holds items the new
// backup lacks, unless the new one is proven to be of another stick (item 0) that answered at
// least half of the items; whatever replaces the file keeps it as its earlier generation.
TEST_F(NvBackupTest, ABackupNeverReplacesABetterOne) {
  enum Stick { kSame, kWiped, kOther, kOtherWiped };
  struct Case {
    const char* name;
    Stick stick;
    bool imei_fails;       // item 550 answers status 4
    bool file_lacks_item0;  // the file's item 0 was not read
    bool run_ok;           // the NV backup run
    bool update_ok;        // the backup before the images
    bool replaced;
  };
  const Case cases[] = {
      {"the same stick, whole", kSame, false, false, true, true, true},
      {"the same stick, the IMEI unreadable", kSame, true, false, false, true, false},
      {"the same stick, wiped", kWiped, false, false, false, true, false},
      {"another stick, whole", kOther, false, false, true, true, true},
      {"another stick, the IMEI unreadable", kOther, true, false, true, false, true},
      {"another stick, wiped", kOtherWiped, false, false, false, false, false},
      {"a file without item 0, the IMEI unreadable", kSame, true, true, false, false, false},
  };
  for (const Case& c : cases) {
    for (nvdata::BackupNeed need : {nvdata::BackupNeed::AnswerFromSome, nvdata::BackupNeed::AnswerFromEvery}) {
      const bool update = need == nvdata::BackupNeed::AnswerFromEvery;
      SCOPED_TRACE(std::string(c.name) + (update ? ", before the images" : ", the NV backup run"));
      config_ = sim::StickConfig{};
      files_ = platform::MemoryFileSystem{};
      Start();
      Bytes old = GoodFile();
      if (c.file_lacks_item0) protocol::WriteLe16(&old[132], 0xFFFF);
      files_.SetFile(kBackupPath, old);
      if (c.stick == kOther || c.stick == kOtherWiped) config_.esn = 0x80000001;
      if (c.imei_fails) {
        sim::FaultRule rule = NvFault(0x26, sim::FaultAction::NvStatus, 550);
        rule.nv_status = 4;
        config_.faults.Add(rule);
      }
      Start();
      if (c.stick == kWiped || c.stick == kOtherWiped) stick_->Model().Nv().EraseWritable();
      const Bytes fresh = GoodFile();
      display_.statuses.clear();

      EXPECT_EQ(Backup(nullptr, need), update ? c.update_ok : c.run_ok);
      const Bytes* file = files_.File(kBackupPath);
      const Bytes* earlier = files_.File("C:\\Flotilla\\\\Channel1.previous.nvm");
      ASSERT_NE(file, nullptr);
      if (c.replaced && (!update || c.update_ok)) {
        ASSERT_NE(earlier, nullptr);
        EXPECT_EQ(*earlier, old);
        if (!c.imei_fails) EXPECT_EQ(*file, fresh);
      } else {
        EXPECT_EQ(*file, old) << display_.statuses.back();
        EXPECT_EQ(earlier, nullptr);
      }
    }
  }
}

TEST_F(NvBackupTest, TheKeptBackupSaysWhyInItsStatus) {
  Start();
  files_.SetFile(kBackupPath, GoodFile());
  stick_->Model().Nv().EraseWritable();
  EXPECT_FALSE(Backup());
  EXPECT_EQ(display_.statuses.back(),
            "Line1: the stick no longer gives 645 NV items that its backup "
            "C:\\Flotilla\\\\Channel1.nvm holds (the first is item 22); that backup is kept as it "
            "was and no new one was written");
  EXPECT_EQ(context_->Diag().ErrorText(), display_.statuses.back());
  EXPECT_TRUE(Backup(nullptr, nvdata::BackupNeed::AnswerFromEvery));
  EXPECT_EQ(display_.statuses.back(),
            "Line1: the stick no longer gives 645 NV items that its backup "
            "C:\\Flotilla\\\\Channel1.nvm holds (the first is item 22); the backup is kept, and "
            "the update brings the items back from it");
}

TEST(NvBackupNames, TheEarlierGenerationKeepsTheExtension) {
  EXPECT_EQ(nvdata::PreviousGenerationPath("C:\\x\\Channel1.nvm"), "C:\\x\\Channel1.previous.nvm");
  EXPECT_EQ(nvdata::PreviousGenerationPath("/tmp/nv.d/backup"), "/tmp/nv.d/backup.previous");
  EXPECT_EQ(nvdata::PreviousGenerationPath("a.NVM"), "a.previous.NVM");
}

// Mend: a stick that answers only one NV item in ten ends the backup within minutes, not hours.
TEST_F(NvBackupTest, ASparselyAnsweringStickEndsTheBackupWithinTenMinutes) {
  for (size_t i = 0; i < nvdata::kNvListedItems; ++i)
    if (i % 10 != 0) config_.faults.Add(NvFault(0x26, sim::FaultAction::NoReply, NvTableIds()[i]));
  Start();
  const uint64_t start_ms = clock_.NowMs();
  EXPECT_FALSE(Backup());
  EXPECT_LT(clock_.NowMs() - start_ms, 10u * 60 * 1000);
  EXPECT_EQ(display_.statuses.back(), "Line1: no valid answer to 25 NV items, the NV backup was stopped");
  EXPECT_EQ(files_.File(kBackupPath), nullptr);
}

// --- Restore -----------------------------------------------------------------------------

TEST_F(NvBackupTest, RestoreWritesTheReadItemsBackInTableOrder) {
  config_.inactive_nv = {90};
  Start();
  ASSERT_TRUE(Backup());
  const Bytes backup = *files_.File(kBackupPath);
  // The update changes items; the restore brings them back, both copies of 2724 included.
  for (uint16_t id : {22, 550, 2724, 4965, 8029}) stick_->Model().Nv().Write(id, sim::NvValue{0xEE});
  requests_.clear();
  display_.progress.clear();
  ASSERT_TRUE(Restore()) << stick_->Model().NvError();
  for (size_t i = 0; i < NvTableIds().size(); ++i) {
    if (RecordStatus(backup, i) != 0) continue;
    ASSERT_EQ(StickValue(NvTableIds()[i]), RecordValue(backup, i)) << i;
  }

  // Every successfully read record is written once, in table order; item 0 is read-only (7)
  // on the stick and skipped after its first write; 90 was not read (5) and is not written.
  std::vector<uint16_t> expected;
  for (uint16_t id : NvTableIds())
    if (id != 90) expected.push_back(id);
  EXPECT_EQ(Items(0x27), expected);
  // Offline before the writes, the mode change 4 after them.
  const std::vector<Request> modes = Requests(0x29);
  ASSERT_EQ(modes.size(), 2u);
  EXPECT_EQ(modes[0].item(), 1);
  EXPECT_EQ(modes[1].item(), 4);
  EXPECT_LT(modes[0].ms, Requests(0x27).front().ms);
  EXPECT_GT(modes[1].ms, Requests(0x27).back().ms);

  std::vector<int> progress;
  for (int i = 0; i < 646; ++i) progress.push_back(82 + i * 13 / 1125);
  EXPECT_EQ(display_.progress, progress);
  EXPECT_EQ(display_.progress.back(), 89);
}

// Mend: "not active" or "read-only" skips an item only when the stick is read to hold the
// backed-up value; otherwise it is a failed write like any other. The default NV file is
// another stick's, so there a read-only item is skipped as it is.
TEST_F(NvBackupTest, RestoreSkipsARefusedItemOnlyWhenTheStickHoldsItsValue) {
  struct Case {
    const char* name;
    line::NvMode mode;
    std::set<uint16_t> inactive;
    std::set<uint16_t> read_only;
    bool file_differs;  // the file holds another value of item 141 than the stick
    bool restored;
  };
  const Case cases[] = {
      {"read-only, holding the value", line::NvMode::RestoreRfAndImei, {}, {0, 141}, false, true},
      {"read-only, another value", line::NvMode::RestoreRfAndImei, {}, {0, 141}, true, false},
      {"not active", line::NvMode::RestoreRfAndImei, {141}, {0}, false, false},
      {"default file, read-only, another value", line::NvMode::LoadDefault, {}, {0, 141}, true, true},
      {"default file, not active", line::NvMode::LoadDefault, {141}, {0}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config_ = sim::StickConfig{};
    Start();
    Bytes file = GoodFile();
    if (c.file_differs) file[IndexOf(141) * kNvRecordBytes + 4] ^= 0xFF;
    files_.SetFile(kBackupPath, file);
    config_.inactive_nv = c.inactive;
    config_.read_only_nv = c.read_only;
    Start();
    doc_->nv_mode = c.mode;
    requests_.clear();
    EXPECT_EQ(Restore(), c.restored);
    const std::vector<uint16_t> writes = Items(0x27);
    const auto tries = std::count(writes.begin(), writes.end(), 141);
    EXPECT_EQ(tries, c.restored ? 1 : 4);
    EXPECT_EQ(writes.size(), c.restored ? 646u : Items(0x27).size());
    if (!c.restored) EXPECT_EQ(writes.back(), 141);
  }
}

TEST_F(NvBackupTest, AFailedWriteIsTriedFourTimesAtOnceThen100MsApart) {
  struct Row {
    uint32_t failures;
    bool restored;
  };
  for (const Row row : {Row{3, true}, Row{4, false}}) {
    SCOPED_TRACE(row.failures);
    config_.faults = sim::FaultPlan{};
    auto rule = NvFault(0x27, sim::FaultAction::NvStatus, 1058, row.failures);
    rule.nv_status = 4;
    config_.faults.Add(rule);
    Start();
    files_.SetFile(kBackupPath, GoodFile());
    requests_.clear();
    EXPECT_EQ(Restore(), row.restored);
    std::vector<Request> tries;
    for (const Request& r : Requests(0x27))
      if (r.item() == 1058) tries.push_back(r);
    ASSERT_EQ(tries.size(), 4u);
    const uint64_t exchange = tries[1].ms - tries[0].ms;  // the second write goes at once
    EXPECT_EQ(tries[2].ms - tries[1].ms, exchange + 100);
    EXPECT_EQ(tries[3].ms - tries[2].ms, exchange + 100);
    // A restore that fails stops at the record: no later item, no mode change.
    EXPECT_EQ(Items(0x27).back() == 1058, !row.restored);
    EXPECT_EQ(Requests(0x29).size(), row.restored ? 2u : 1u);
  }
}

// Mend: a stick that answers each item's write only at the tenth request ends the restore
// within minutes, not hours.
TEST_F(NvBackupTest, ASparselyAnsweringStickEndsTheRestoreWithinTenMinutes) {
  Start();
  files_.SetFile(kBackupPath, GoodFile());
  for (uint16_t id : NvTableIds()) config_.faults.Add(NvFault(0x27, sim::FaultAction::NoReply, id, 9));
  Start();
  const uint64_t start_ms = clock_.NowMs();
  EXPECT_FALSE(Restore());
  EXPECT_LT(clock_.NowMs() - start_ms, 10u * 60 * 1000);
  EXPECT_EQ(Requests(0x29).size(), 1u) << "no mode change after a failed restore";
}

TEST_F(NvBackupTest, NvMode1LeavesTheImeiOut) {
  for (line::NvMode mode : {line::NvMode::RestoreRf, line::NvMode::RestoreRfAndImei}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Start();
    files_.SetFile(kBackupPath, GoodFile());
    doc_->nv_mode = mode;
    requests_.clear();
    ASSERT_TRUE(Restore());
    const std::vector<uint16_t> writes = Items(0x27);
    const bool imei = std::count(writes.begin(), writes.end(), 550) != 0;
    EXPECT_EQ(imei, mode == line::NvMode::RestoreRfAndImei);
    EXPECT_EQ(writes.size(), mode == line::NvMode::RestoreRf ? 645u : 646u);
  }
}

TEST_F(NvBackupTest, AFileOfFailedReadsRestoresNothingAndSucceeds) {
  Start();
  nvdata::NvTable table = nvdata::BuildNvTable();
  for (size_t i = 0; i < nvdata::kNvListedItems; ++i) table[i].status = 0xFFFF;
  files_.SetFile(kBackupPath, nvdata::EncodeNvFile(table));
  EXPECT_TRUE(Restore());
  EXPECT_TRUE(Items(0x27).empty());
}

TEST_F(NvBackupTest, ABadFileIsRefusedBeforeAnythingIsWritten) {
  Start();
  const Bytes good = GoodFile();
  Bytes swapped = good;
  std::swap_ranges(&swapped[5 * 136], &swapped[5 * 136 + 2], &swapped[6 * 136]);
  Bytes no_end = good;
  protocol::WriteLe16(&no_end[646 * 136], 9999);
  struct Row {
    const char* name;
    Bytes bytes;
  };
  const Row rows[] = {{"152,999 bytes", Bytes(good.begin(), good.end() - 1)},
                      {"153,001 bytes", [&] { Bytes b = good; b.push_back(0); return b; }()},
                      {"out of order", swapped},
                      {"no terminator", no_end}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    files_.SetFile(kBackupPath, row.bytes);
    requests_.clear();
    display_.statuses.clear();
    prompts_.messages.clear();
    EXPECT_FALSE(Restore());
    EXPECT_TRUE(Items(0x27).empty());
    EXPECT_TRUE(Requests(0x29).empty()) << "not even put offline";
    EXPECT_EQ(display_.statuses, std::vector<std::string>{"NVM file for backup NV doesn't exist or destroyed"});
    EXPECT_EQ(prompts_.messages, std::vector<std::string>{"NVM file for backup NV doesn't exist or destroyed"});
  }
}

TEST_F(NvBackupTest, AMissingFileIsAFileError) {
  Start();
  EXPECT_FALSE(Restore());
  EXPECT_EQ(prompts_.messages, std::vector<std::string>{"C:\\Flotilla\\\\Channel1.nvm was not found."});
  EXPECT_TRUE(Items(0x27).empty());
}

// --- Directory and file commands ---------------------------------------------------------

TEST(NvDirectory, RequireNvDirectoryCreatesNothingAndSaysWhatIsMissing) {
  platform::MemoryFileSystem files;
  files.AddDirectory("C:\\Flotilla");
  struct Row {
    const char* path;
    bool exists;
  };
  const Row rows[] = {{"C:\\Flotilla", true}, {"C:\\Flotilla\\", true}, {"D:\\", true},
                      {"C:\\Missing", false}, {"C:\\Missing\\", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    platform::RecordingPrompts prompts;
    EXPECT_EQ(nvdata::RequireNvDirectory(files, prompts, row.path), row.exists);
    const std::vector<std::string> expected =
        row.exists ? std::vector<std::string>{}
                   : std::vector<std::string>{std::string("Cannot create directory:") + row.path};
    EXPECT_EQ(prompts.messages, expected);
  }
  EXPECT_FALSE(files.Exists("C:\\Missing"));
}

class NvCommands : public ::testing::Test {
 protected:
  platform::VirtualClock clock_;
  sim::InProcessStick stick_{clock_, sim::StickConfig{}};
  line::CFlotillaDoc doc_{line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}};
  ScriptedDialogs dialogs_;
};

TEST_F(NvCommands, ChooseNvDirectorySetsEveryLine) {
  dialogs_.folder = "D:\\Backups";
  EXPECT_EQ(nvdata::ChooseNvDirectory(doc_, dialogs_), "D:\\Backups");
  EXPECT_EQ(dialogs_.asked, std::vector<std::string>{"Please choose the NV directory"});
  for (int i = 0; i < line::kLineCount; ++i) {
    EXPECT_EQ(doc_.Line(i).paths.nv_directory, "D:\\Backups");
    EXPECT_EQ(doc_.Line(i).paths.nv_backup_file, "D:\\Backups\\Channel" + std::to_string(i + 1) + ".nvm");
  }
}

TEST_F(NvCommands, ACancelledChoiceKeepsThePathsAndShowsLine1s) {
  EXPECT_EQ(nvdata::ChooseNvDirectory(doc_, dialogs_), "C:\\Flotilla\\");
  EXPECT_EQ(doc_.Line(7).paths.nv_backup_file, "C:\\Flotilla\\\\Channel8.nvm");
  dialogs_.folder = std::string(300, 'x');
  EXPECT_EQ(nvdata::ChooseNvDirectory(doc_, dialogs_), "C:\\Flotilla\\") << "too long for the field";
}

TEST_F(NvCommands, ChooseDefaultNvFileSetsEveryLine) {
  EXPECT_EQ(nvdata::ChooseDefaultNvFile(doc_, dialogs_), std::nullopt);
  EXPECT_EQ(doc_.Line(0).paths.default_nv_file, "");
  dialogs_.file = "E:\\Factory\\default.nvm";
  EXPECT_EQ(nvdata::ChooseDefaultNvFile(doc_, dialogs_), "E:\\Factory\\default.nvm");
  EXPECT_EQ(dialogs_.asked.back(), "NVM Files(*.NVM) | *.NVM;||");
  for (int i = 0; i < line::kLineCount; ++i)
    EXPECT_EQ(doc_.Line(i).paths.default_nv_file, "E:\\Factory\\default.nvm");
}

}  // namespace
}  // namespace flotilla

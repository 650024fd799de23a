// The RS485 device store in a directory of the test's own: the file format,
// the dev_id range, and what stray, short or broken files do to reads and to
// the iteration.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RS485TestSupport.h"
#include "TestFiles.h"
#include "rs485/FileIO.h"

namespace {

using namespace RS485Test;
using RS485::DeviceRecord;
using RS485::DeviceStore;
using TestFiles::readFile;
using TestFiles::writeFile;

constexpr uint16_t pulsar = 8;

// A store file's bytes: the bitmap, then the given slots' records.
std::string storeFile(uint32_t bitmap, const std::vector<std::pair<uint32_t, DeviceRecord>>& slots,
                      size_t length = DeviceStore::fileSize) {
  std::string bytes(DeviceStore::fileSize, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(bitmap >> (8 * i));
  for (const auto& [slot, record] : slots) {
    auto encoded = record.encode();
    std::memcpy(&bytes[4 + 30 * slot], encoded.data(), encoded.size());
  }
  bytes.resize(length);
  return bytes;
}

class StoreFixture : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return directory.path + "/" + name; }
  std::vector<uint32_t> iterate(std::vector<uint64_t>* serials = nullptr) {
    std::vector<uint32_t> ids;
    store.resetIteration();
    DeviceRecord record;
    while (uint32_t id = store.nextDevice(&record)) {
      ids.push_back(id);
      if (serials != nullptr) serials->push_back(record.serial);
      if (ids.size() > 2000) break;
    }
    return ids;
  }

  TempDirectory directory;
  DeviceStore store{directory.path};
};

TEST(RS485Record, EncodesLittleEndianAndBack) {
  DeviceRecord record = withNetId(deviceRecord(3, 0x0102030405060708ull, 2, 115200, "8e1"), 55);
  auto bytes = record.encode();
  EXPECT_EQ(hexOf(Bytes(bytes.begin(), bytes.end())),
            "08 07 06 05 04 03 02 01 37 00 00 00 00 00 00 00 00 C2 01 00 03 00 38 65 31 00 02 00 00 00");
  DeviceRecord back = DeviceRecord::decode(bytes.data());
  EXPECT_EQ(back.serial, record.serial);
  EXPECT_EQ(back.net_id, 55u);
  EXPECT_EQ(back.baudrate, 115200u);
  EXPECT_EQ(back.driver, 3);
  EXPECT_STREQ(back.mode, "8e1");
  EXPECT_EQ(back.port(), 2);
  EXPECT_TRUE(back.hasSerial());
  EXPECT_TRUE(back.hasNetId());
}

TEST_F(StoreFixture, Device31IsSlot1OfFile0001) {
  DeviceRecord record = deviceRecord(3, 12345678);
  ASSERT_TRUE(store.writeDevice(31, record));
  std::string file = readFile(path("0001"));
  ASSERT_EQ(file.size(), 904u);
  EXPECT_EQ(file.substr(0, 4), std::string("\x02\0\0\0", 4));
  auto encoded = record.encode();
  EXPECT_EQ(file.substr(34, 30), std::string(encoded.begin(), encoded.end()));
  EXPECT_FALSE(std::filesystem::exists(path("0001.new")));

  DeviceRecord read;
  ASSERT_TRUE(store.readDevice(31, read));
  EXPECT_EQ(read.serial, 12345678u);
  EXPECT_FALSE(store.readDevice(32, read));
  EXPECT_EQ(iterate(), std::vector<uint32_t>{31});

  // Delete clears the bit only.
  store.deleteDevice(31);
  file = readFile(path("0001"));
  EXPECT_EQ(file.substr(0, 4), std::string(4, '\0'));
  EXPECT_EQ(file.substr(34, 30), std::string(encoded.begin(), encoded.end()));
  EXPECT_FALSE(store.readDevice(31, read));
  EXPECT_TRUE(iterate().empty());
}

TEST_F(StoreFixture, DevIdsOutsideOneTo1023AreRejected) {
  DeviceRecord record = deviceRecord(3, 1);
  for (uint32_t id : {0u, 1024u, 4000000000u}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(store.writeDevice(id, record));
    EXPECT_FALSE(store.readDevice(id, record));
    store.deleteDevice(id);
  }
  EXPECT_TRUE(std::filesystem::is_empty(directory.path));
  ASSERT_TRUE(store.writeDevice(1, record));
  ASSERT_TRUE(store.writeDevice(1023, record));
  EXPECT_EQ(iterate(), (std::vector<uint32_t>{1, 1023}));
}

// Slot 0 of file 0000 would be dev_id 0, the end of the iteration.
TEST_F(StoreFixture, BitZeroOfFileZeroIsNoDevice) {
  writeFile(path("0000"), storeFile(0b111, {{0, deviceRecord(pulsar, 100)}, {1, deviceRecord(pulsar, 101)},
                                             {2, deviceRecord(pulsar, 102)}}));
  writeFile(path("0001"), storeFile(0b1, {{0, deviceRecord(pulsar, 130)}}));
  std::vector<uint64_t> serials;
  EXPECT_EQ(iterate(&serials), (std::vector<uint32_t>{1, 2, 30}));
  EXPECT_EQ(serials, (std::vector<uint64_t>{101, 102, 130}));
}

// Only regular files named with exactly four digits count, wherever the other
// entries are; files beyond dev_id 1023 hold nothing the store can reach.
TEST_F(StoreFixture, StrayEntriesAreSkippedWherever) {
  writeFile(path("0001"), storeFile(0b10, {{1, deviceRecord(pulsar, 31)}}));
  writeFile(path("0003"), storeFile(0b1000, {{3, deviceRecord(pulsar, 93)}}));
  writeFile(path("0034"), storeFile(0b11000, {{4, deviceRecord(pulsar, 1024)}, {3, deviceRecord(pulsar, 1023)}}));
  for (const char* stray : {"README", "0001.new", "0002.new", "00012", "12", "0035", "9999"}) {
    writeFile(path(stray), storeFile(0xFFFFFFFF, {}));
  }
  std::filesystem::create_directory(path("0000"));
  std::filesystem::create_directory(path("0002"));
  std::filesystem::create_symlink(path("0001"), path("0004"));
  std::vector<uint64_t> serials;
  EXPECT_EQ(iterate(&serials), (std::vector<uint32_t>{31, 93, 1023}));
  EXPECT_EQ(serials, (std::vector<uint64_t>{31, 93, 1023}));
}

// A slot whose 30 bytes are not all in the file is empty; reading leaves the
// file as it is.
TEST_F(StoreFixture, TruncatedFilesHoldOnlyCompleteSlots) {
  struct Case {
    const char* name;
    size_t length;
    std::vector<uint32_t> ids;
  };
  std::string full = storeFile(0b111, {{0, deviceRecord(pulsar, 30)}, {1, deviceRecord(pulsar, 31)},
                                       {2, deviceRecord(pulsar, 32)}});
  for (const Case& c : {Case{"empty", 0, {}}, Case{"bitmap only", 4, {}}, Case{"40 bytes", 40, {30}},
                        Case{"two slots and a half", 79, {30, 31}}, Case{"longer than 904", 1000, {30, 31, 32}}}) {
    SCOPED_TRACE(c.name);
    std::string bytes = full;
    bytes.resize(c.length, '\x7F');
    writeFile(path("0001"), bytes);
    EXPECT_EQ(iterate(), c.ids);
    DeviceRecord record;
    EXPECT_EQ(store.readDevice(31, record), c.ids.size() >= 2);
    EXPECT_EQ(std::filesystem::file_size(path("0001")), c.length);
  }
}

TEST_F(StoreFixture, ReadingNeverCreatesAFile) {
  DeviceRecord record;
  EXPECT_FALSE(store.readDevice(45, record));
  store.deleteDevice(45);
  EXPECT_TRUE(iterate().empty());
  EXPECT_TRUE(std::filesystem::is_empty(directory.path));
}

// A write makes the short file whole; the bits of slots that were cut off go,
// so their zero-filled bytes do not become devices.
TEST_F(StoreFixture, WritingAShortFileDropsItsIncompleteSlots) {
  writeFile(path("0001"), storeFile(0b111, {{0, deviceRecord(pulsar, 30)}, {1, deviceRecord(pulsar, 31)}}, 40));
  ASSERT_TRUE(store.writeDevice(35, deviceRecord(pulsar, 35)));
  EXPECT_EQ(std::filesystem::file_size(path("0001")), 904u);
  EXPECT_EQ(iterate(), (std::vector<uint32_t>{30, 35}));
}

TEST_F(StoreFixture, UnchangedContentIsNotWrittenAgain) {
  DeviceRecord record = deviceRecord(3, 12345678);
  ASSERT_TRUE(store.writeDevice(31, record));
  struct stat before {};
  ASSERT_EQ(stat(path("0001").c_str(), &before), 0);
  ASSERT_TRUE(store.writeDevice(31, record));
  store.deleteDevice(32);
  struct stat after {};
  ASSERT_EQ(stat(path("0001").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

// A power cut before the rename leaves the old file; the write reports it.
TEST_F(StoreFixture, PowerCutBeforeTheRenameKeepsTheOldFile) {
  ASSERT_TRUE(store.writeDevice(31, deviceRecord(3, 111)));
  std::string before = readFile(path("0001"));
  FileOperations cut = systemFileOperations();
  cut.rename = [](const char*, const char*) {
    errno = EIO;
    return -1;
  };
  DeviceStore failing(directory.path, nullptr, cut);
  EXPECT_FALSE(failing.writeDevice(32, deviceRecord(3, 222)));
  failing.deleteDevice(31);
  EXPECT_EQ(readFile(path("0001")), before);
  EXPECT_EQ(iterate(), std::vector<uint32_t>{31});
}

// A file that cannot be opened: logged with its path, skipped by the
// iteration, and neither read nor overwritten.
TEST_F(StoreFixture, UnreadableFileIsLoggedAndSkipped) {
  writeFile(path("0001"), storeFile(0b10, {{1, deviceRecord(pulsar, 31)}}));
  writeFile(path("0002"), storeFile(0b100, {{2, deviceRecord(pulsar, 62)}}));
  DeviceStore guarded(directory.path, [](const char* file) {
    if (std::string(file).ends_with("/0001")) {
      errno = EACCES;
      return -1;
    }
    return ::open(file, O_RDONLY | O_CLOEXEC);
  });
  CaptureStdout output;
  guarded.resetIteration();
  EXPECT_EQ(guarded.nextDevice(), 62u);
  EXPECT_EQ(guarded.nextDevice(), 0u);
  DeviceRecord record;
  EXPECT_FALSE(guarded.readDevice(31, record));
  EXPECT_FALSE(guarded.writeDevice(32, deviceRecord(pulsar, 32)));
  std::string expected = "Failed to open file: " + path("0001");
  EXPECT_EQ(TestLog::messagesOf(output.text(), "FileIO.cpp"), std::vector<std::string>(3, expected));
  EXPECT_EQ(iterate(), (std::vector<uint32_t>{31, 62}));
}

TEST_F(StoreFixture, IterationEndsOnceAndStartsAgainAfterAReset) {
  ASSERT_TRUE(store.writeDevice(5, deviceRecord(pulsar, 5)));
  store.resetIteration();
  EXPECT_EQ(store.nextDevice(), 5u);
  EXPECT_EQ(store.nextDevice(), 0u);
  EXPECT_EQ(store.nextDevice(), 0u);
  // A device written during a walk shows after the next reset.
  ASSERT_TRUE(store.writeDevice(95, deviceRecord(pulsar, 95)));
  EXPECT_EQ(store.nextDevice(), 0u);
  store.resetIteration();
  EXPECT_EQ(store.nextDevice(), 5u);
  EXPECT_EQ(store.nextDevice(), 95u);
}

}  // namespace

#pragma once
// The RS485 device store: every configured meter is a 30-byte record in one
// of the files /data/xdev/0000 to /data/xdev/0034. Device dev_id (1 to 1023)
// lives in file dev_id / 30, slot dev_id % 30 (so file 0000 has no slot 0).
//
//   file (904 bytes): u32 slot bitmap (bit i: slot i holds a device),
//                     then 30 records of 30 bytes (slot i at 4 + 30 i)
//
// Only names of exactly four digits that are regular files count; anything
// else in the directory ("README", a "0001.new" left by a power cut, a
// subdirectory) is skipped. A slot whose 30 bytes are not all in the file is
// empty, so a truncated file never yields a record made of missing bytes.
//
// Reading never writes: a missing file holds no devices, a short one reads as
// if zero-filled. writeDevice and deleteDevice replace the whole file through
// "<name>.new" and a rename, so a power cut leaves either the old or the new
// file, never a set bit over a half-written record.
//
// The iteration walks the files in the order of their numbers and the slots
// in order. Everything runs in the poll thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registry/AtomicFile.h"
#include "rs485/DeviceRecord.h"

namespace RS485 {

class DeviceStore {
 public:
  static constexpr uint32_t slotsPerFile = 30;
  static constexpr size_t fileSize = 4 + slotsPerFile * DeviceRecord::size;  // 904
  static constexpr uint32_t firstDevId = 1;
  static constexpr uint32_t lastDevId = 1023;

  // Opens a store file for reading; returns the descriptor or -1 with errno
  // set. Tests swap it to make a file unreadable.
  using OpenForReading = int (*)(const char* path);

  // The store in `directory` (as the process opens it; the firmware's is
  // Platform::path("/data/xdev")).
  explicit DeviceStore(std::string directory, OpenForReading openForReading = nullptr,
                       FileOperations writes = systemFileOperations());

  // Creates the directory (mode 0775) unless it exists.
  void makeDirectory() const;

  // False for a dev_id outside 1 to 1023, an empty slot or a file that cannot
  // be read.
  bool readDevice(uint32_t devId, DeviceRecord& out) const;
  // True when the file holds the record afterwards.
  bool writeDevice(uint32_t devId, const DeviceRecord& record) const;
  // Clears the slot's bit; the record bytes stay.
  void deleteDevice(uint32_t devId) const;

  // Starts the iteration again at the first file.
  void resetIteration();
  // The next device (its record into *out when out is given), 0 at the end.
  uint32_t nextDevice(DeviceRecord* out = nullptr);

  // "<directory>/%04u"
  std::string filePath(uint32_t fileNumber) const;

 private:
  struct DeviceFile {
    uint32_t number = 0;
    std::array<uint8_t, fileSize> bytes{};
    // Bytes actually in the file (up to fileSize).
    size_t length = 0;
    // Slots that hold a device: set in the bitmap and complete in the file.
    uint32_t slots = 0;
  };
  enum class Loaded { missing, present, failed };

  Loaded load(uint32_t fileNumber, DeviceFile& file) const;
  bool replace(const DeviceFile& before, const std::array<uint8_t, fileSize>& after) const;

  std::string directory;
  OpenForReading openForReading;
  FileOperations writes;

  // Iteration: the store files found by the last reset, the next one to
  // open, the open one and its next slot.
  bool listed = false;
  std::vector<uint32_t> files;
  size_t nextFile = 0;
  std::optional<DeviceFile> current;
  uint32_t nextSlot = 0;
};

}  // namespace RS485

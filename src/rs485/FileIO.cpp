#include "rs485/FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/Log.h"

namespace RS485 {
namespace {

constexpr uint32_t highestFileNumber = DeviceStore::lastDevId / DeviceStore::slotsPerFile;  // 34
constexpr uint32_t slotBits = (1u << DeviceStore::slotsPerFile) - 1;

int openReadOnly(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW); }

uint32_t readBitmap(const std::array<uint8_t, DeviceStore::fileSize>& bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void writeBitmap(std::array<uint8_t, DeviceStore::fileSize>& bytes, uint32_t bitmap) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(bitmap >> (8 * i));
}

size_t slotOffset(uint32_t slot) { return 4 + slot * DeviceRecord::size; }

// The slots whose 30 bytes are all within the first `length` bytes.
uint32_t completeSlots(size_t length) {
  if (length < slotOffset(1)) return 0;
  size_t count = (length - 4) / DeviceRecord::size;
  return count >= DeviceStore::slotsPerFile ? slotBits : (1u << count) - 1;
}

// "0017" yes; "17", "00017", "0001.new", "README" no.
bool isStoreFileName(const char* name, uint32_t& number) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(name[i] - '0');
  }
  if (name[4] != '\0') return false;
  number = value;
  return true;
}

bool validDevId(uint32_t devId) { return devId >= DeviceStore::firstDevId && devId <= DeviceStore::lastDevId; }

}  // namespace

DeviceStore::DeviceStore(std::string storeDirectory, OpenForReading open, FileOperations writeOperations)
    : directory(std::move(storeDirectory)),
      openForReading(open != nullptr ? open : openReadOnly),
      writes(writeOperations) {}

void DeviceStore::makeDirectory() const { ::mkdir(directory.c_str(), 0775); }

std::string DeviceStore::filePath(uint32_t fileNumber) const {
  char name[8];
  std::snprintf(name, sizeof name, "/%04u", static_cast<unsigned>(fileNumber % 10000));
  return directory + name;
}

DeviceStore::Loaded DeviceStore::load(uint32_t fileNumber, DeviceFile& file) const {
  file = DeviceFile{};
  file.number = fileNumber;
  std::string path = filePath(fileNumber);
  int fd = openForReading(path.c_str());
  if (fd < 0 && errno == ENOENT) return Loaded::missing;
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    LOGW("Failed to open file: %s", path.c_str());
    return Loaded::failed;
  }
  while (file.length < fileSize) {
    ssize_t got = ::read(fd, file.bytes.data() + file.length, fileSize - file.length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    file.length += static_cast<size_t>(got);
  }
  ::close(fd);
  uint32_t slots = readBitmap(file.bytes) & slotBits & completeSlots(file.length);
  // Slot 0 of file 0 would be dev_id 0, which means "no device".
  if (fileNumber == 0) slots &= ~1u;
  file.slots = slots;
  return Loaded::present;
}

bool DeviceStore::replace(const DeviceFile& before, const std::array<uint8_t, fileSize>& after) const {
  if (before.length == fileSize && before.bytes == after) return true;
  std::string_view text(reinterpret_cast<const char*>(after.data()), after.size());
  return replaceFile(filePath(before.number), text, writes);
}

bool DeviceStore::readDevice(uint32_t devId, DeviceRecord& out) const {
  if (!validDevId(devId)) return false;
  DeviceFile file;
  if (load(devId / slotsPerFile, file) != Loaded::present) return false;
  uint32_t slot = devId % slotsPerFile;
  if ((file.slots & 1u << slot) == 0) return false;
  out = DeviceRecord::decode(file.bytes.data() + slotOffset(slot));
  return true;
}

bool DeviceStore::writeDevice(uint32_t devId, const DeviceRecord& record) const {
  if (!validDevId(devId)) return false;
  DeviceFile file;
  if (load(devId / slotsPerFile, file) == Loaded::failed) return false;
  uint32_t slot = devId % slotsPerFile;
  std::array<uint8_t, fileSize> after = file.bytes;
  // Bits of incomplete slots are dropped: the file now has all 904 bytes,
  // and a zero-filled slot must not turn into a device.
  writeBitmap(after, file.slots | 1u << slot);
  std::array<uint8_t, DeviceRecord::size> encoded = record.encode();
  std::copy(encoded.begin(), encoded.end(), after.begin() + static_cast<std::ptrdiff_t>(slotOffset(slot)));
  return replace(file, after);
}

void DeviceStore::deleteDevice(uint32_t devId) const {
  if (!validDevId(devId)) return;
  DeviceFile file;
  if (load(devId / slotsPerFile, file) != Loaded::present) return;
  uint32_t slot = devId % slotsPerFile;
  if ((file.slots & 1u << slot) == 0) return;
  std::array<uint8_t, fileSize> after = file.bytes;
  writeBitmap(after, file.slots & ~(1u << slot));
  replace(file, after);
}

void DeviceStore::resetIteration() {
  listed = true;
  files.clear();
  nextFile = 0;
  current.reset();
  nextSlot = 0;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  while (dirent* entry = readdir(listing)) {
    uint32_t number = 0;
    if (!isStoreFileName(entry->d_name, number) || number > highestFileNumber) continue;
    struct stat info {};
    if (fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    files.push_back(number);
  }
  closedir(listing);
  std::sort(files.begin(), files.end());
}

uint32_t DeviceStore::nextDevice(DeviceRecord* out) {
  if (!listed) resetIteration();
  while (nextFile < files.size()) {
    if (!current) {
      DeviceFile file;
      if (load(files[nextFile], file) != Loaded::present) {
        ++nextFile;
        continue;
      }
      current = file;
      nextSlot = 0;
    }
    while (nextSlot < slotsPerFile) {
      uint32_t slot = nextSlot++;
      if ((current->slots & 1u << slot) == 0) continue;
      uint32_t devId = current->number * slotsPerFile + slot;
      if (!validDevId(devId)) continue;
      if (out != nullptr) *out = DeviceRecord::decode(current->bytes.data() + slotOffset(slot));
      return devId;
    }
    current.reset();
    ++nextFile;
  }
  return 0;
}

}  // namespace RS485

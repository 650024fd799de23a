// Puts fuzzed files into a device store directory and walks it the way the
// poll thread does (count, then poll each device), reads every dev_id of the
// files and writes one device, so a file of any length or content is checked
// against the store's bounds.
//
// Input: files one after another, each a file-number byte (taken mod 36, so
// beyond the last store file too), a 16-bit length (little-endian) and that
// many bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "rs485/FileIO.h"

namespace {

std::string directory;

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) break;
    data += written;
    size -= static_cast<size_t>(written);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  char pattern[] = "/tmp/rs485-store-fuzz-XXXXXX";
  if (mkdtemp(pattern) != nullptr) directory = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (directory.empty()) return 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
  RS485::DeviceStore store(directory);
  size_t at = 0;
  while (at + 3 <= size) {
    uint32_t number = data[at] % 36u;
    size_t length = static_cast<size_t>(data[at + 1] | data[at + 2] << 8);
    at += 3;
    if (length > size - at) length = size - at;
    writeBytes(store.filePath(number), data + at, length);
    at += length;
  }

  store.resetIteration();
  size_t devices = 0;
  while (store.nextDevice() != 0) {
    if (++devices > 1023) __builtin_trap();
  }
  store.resetIteration();
  RS485::DeviceRecord record;
  uint32_t previous = 0;
  while (uint32_t devId = store.nextDevice(&record)) {
    // In order, within range, and readable on its own.
    if (devId <= previous || devId > RS485::DeviceStore::lastDevId) __builtin_trap();
    RS485::DeviceRecord again;
    if (!store.readDevice(devId, again) || again.serial != record.serial) __builtin_trap();
    previous = devId;
    --devices;
  }
  if (devices != 0) __builtin_trap();
  store.writeDevice(31, record);
  if (!store.readDevice(31, record)) __builtin_trap();
  return 0;
}

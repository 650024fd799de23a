#include "core/RandomBytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool readRandomBytes(const std::string& sourcePath, uint8_t* bytes, size_t count) {
  int fd = open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < count) {
    ssize_t chunk = read(fd, bytes + got, count - got);
    if (chunk < 0 && errno == EINTR) continue;
    if (chunk <= 0) break;
    got += static_cast<size_t>(chunk);
  }
  close(fd);
  return got == count;
}

#include "core/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::string readSmallFile(const std::string& path, size_t maxBytes) {
  std::string content;
  // Non-blocking, so a FIFO or device put in the file's place cannot stall the caller.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return content;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > maxBytes) {
    close(fd);
    return content;
  }
  char buffer[4096];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      content.clear();
      break;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
    if (content.size() > maxBytes) {
      content.clear();
      break;
    }
  }
  close(fd);
  return content;
}

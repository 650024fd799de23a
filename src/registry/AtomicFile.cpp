#include "registry/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

FileOperations systemFileOperations() { return FileOperations{::write, ::fsync, ::rename}; }

namespace {

bool writeAll(int fd, std::string_view text, const FileOperations& operations) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = operations.write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

void syncDirectoryOf(const std::string& path, const FileOperations& operations) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  operations.fsync(fd);
  close(fd);
}

}  // namespace

bool writeWholeFile(const std::string& path, std::string_view text, const FileOperations& operations, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool written = writeAll(fd, text, operations) && operations.fsync(fd) == 0;
  if (close(fd) != 0) written = false;
  if (!written) unlink(path.c_str());
  return written;
}

bool renameDurably(const std::string& from, const std::string& to, const FileOperations& operations) {
  if (operations.rename(from.c_str(), to.c_str()) != 0) {
    unlink(from.c_str());
    return false;
  }
  syncDirectoryOf(to, operations);
  return true;
}

bool replaceFile(const std::string& path, std::string_view text, const FileOperations& operations) {
  std::string next = path + ".new";
  return writeWholeFile(next, text, operations) && renameDurably(next, path, operations);
}

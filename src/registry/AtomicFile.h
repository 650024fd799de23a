#pragma once
// Files that must survive a power cut. A new content is written to
// "<path>.new" (truncated first), flushed to storage, then renamed over the old
// file, and the directory is flushed so the rename itself is durable. A short
// or failed write never replaces the previous file.
#include <sys/types.h>

#include <string>
#include <string_view>

// The system calls a replacement makes; tests swap them to simulate a failed
// write or a power cut before the rename.
struct FileOperations {
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};

// write, fsync and rename of the C library.
FileOperations systemFileOperations();

// Replaces the file at `path` with `text`; false when the old file was kept.
// The parent directory must exist.
bool replaceFile(const std::string& path, std::string_view text,
                 const FileOperations& operations = systemFileOperations());

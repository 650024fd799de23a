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

// Writes the file at `path` (created with `mode`, truncated) completely and
// flushes it to storage; a failed or short write removes it and returns false.
bool writeWholeFile(const std::string& path, std::string_view text,
                    const FileOperations& operations = systemFileOperations(), mode_t mode = 0664);

// Renames `from` over `to`, then flushes the directory so the rename itself
// survives a power cut; false (and `from` removed) when the rename failed.
bool renameDurably(const std::string& from, const std::string& to,
                   const FileOperations& operations = systemFileOperations());

// Replaces the file at `path` with `text`; false when the old file was kept.
// The parent directory must exist.
bool replaceFile(const std::string& path, std::string_view text,
                 const FileOperations& operations = systemFileOperations());

#pragma once
// Captures what the process writes to standard output while it lives. The
// output goes to a temporary file, so a flood of log lines never blocks.
#include <unistd.h>

#include <cstdio>
#include <string>

class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    sink = std::tmpfile();
    if (sink != nullptr) dup2(fileno(sink), STDOUT_FILENO);
  }
  ~CaptureStdout() {
    std::fflush(stdout);
    if (saved >= 0) {
      dup2(saved, STDOUT_FILENO);
      close(saved);
    }
    if (sink != nullptr) std::fclose(sink);
  }
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;

  // Everything written so far.
  std::string text() {
    std::fflush(stdout);
    std::string captured;
    if (sink == nullptr) return captured;
    char buffer[4096];
    ssize_t got;
    off_t offset = 0;
    while ((got = pread(fileno(sink), buffer, sizeof buffer, offset)) > 0) {
      captured.append(buffer, static_cast<size_t>(got));
      offset += got;
    }
    return captured;
  }

 private:
  int saved = -1;
  FILE* sink = nullptr;
};

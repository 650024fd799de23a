#include "core/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"

namespace Log {
namespace {

struct ProcessStart {
  int64_t seconds;
  int64_t milliseconds;
};

const ProcessStart& processStart() {
  static const ProcessStart start{Platform::monotonicCoarseSeconds(), Platform::monotonicCoarseMilliseconds()};
  return start;
}

// Takes the start time during this file's static initialisation as well, so it
// is fixed before main even if nothing logs early.
[[maybe_unused]] const ProcessStart& startAtInitialisation = processStart();

}  // namespace

int64_t startSeconds() { return processStart().seconds; }

int64_t startMilliseconds() { return processStart().milliseconds; }

int32_t uptimeSeconds() { return static_cast<int32_t>(Platform::monotonicCoarseSeconds() - startSeconds()); }

int formatLine(char* buffer, size_t size, char level, int32_t uptime, const char* tag, const char* format,
               va_list arguments) {
  int prefix = std::snprintf(buffer, size, "\r\n[%c]%-6d|%-17s: ", level, uptime, tag);
  if (prefix < 0) return prefix;
  size_t used = static_cast<size_t>(prefix) < size ? static_cast<size_t>(prefix) : (size > 0 ? size - 1 : 0);
  int message = std::vsnprintf(buffer + used, size - used, format, arguments);
  if (message < 0) return message;
  return prefix + message;
}

void write(char level, const char* tag, const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  int32_t uptime = uptimeSeconds();
  int length = formatLine(line, sizeof line, level, uptime, tag, format, arguments);
  va_end(arguments);
  if (length < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(length) < sizeof line) {
    std::fwrite(line, 1, static_cast<size_t>(length), stdout);
  } else {
    // A long message (a status block, a long JSON text) is not cut.
    char* longLine = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (longLine != nullptr) {
      formatLine(longLine, static_cast<size_t>(length) + 1, level, uptime, tag, format, copy);
      std::fwrite(longLine, 1, static_cast<size_t>(length), stdout);
      std::free(longLine);
    }
  }
  va_end(copy);
}

}  // namespace Log

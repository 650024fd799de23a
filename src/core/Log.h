#pragma once
// One log line per message on standard output:
//   "\r\n" "[I]" "12    |" "main.cpp         : " "App started!"
// level letter, uptime in whole seconds, the emitting source file's name, the
// message. A line ends only when the next one begins.
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The tag. A file that carries part of another file's job (a class split over
// several files) keeps that file's tag, so the log reads the same; it
// redefines the tag after its last include:
//   #undef FIELDHUB_FILE_NAME
//   #define FIELDHUB_FILE_NAME "Logic.cpp"
#ifdef __FILE_NAME__
#define FIELDHUB_FILE_NAME __FILE_NAME__
#else
#define FIELDHUB_FILE_NAME ::Log::baseName(__FILE__)
#endif

#define LOGI(...) ::Log::write('I', FIELDHUB_FILE_NAME, __VA_ARGS__)
#define LOGW(...) ::Log::write('W', FIELDHUB_FILE_NAME, __VA_ARGS__)
#define LOGE(...) ::Log::write('E', FIELDHUB_FILE_NAME, __VA_ARGS__)
#define LOGD(...) ::Log::write('D', FIELDHUB_FILE_NAME, __VA_ARGS__)
#define LOGV(...) ::Log::write('V', FIELDHUB_FILE_NAME, __VA_ARGS__)

namespace Log {

// Seconds of the coarse monotonic clock when the process started, taken once by
// whichever static initialiser asks first.
int64_t startSeconds();
// The same start in milliseconds.
int64_t startMilliseconds();
// Whole seconds since the process started.
int32_t uptimeSeconds();

// Writes one message with the current uptime.
void write(char level, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Formats one message exactly as written, for callers with their own uptime.
// Returns the number of characters the whole line needs (as vsnprintf does).
int formatLine(char* buffer, size_t size, char level, int32_t uptime, const char* tag, const char* format,
               va_list arguments);

constexpr const char* baseName(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') name = p + 1;
  }
  return name;
}

}  // namespace Log

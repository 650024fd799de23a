#include "core/Adc.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace {
const char* const iioDevice = "/sys/bus/iio/devices/iio:device0/";
// The ADC has 12 bits; anything longer than this is not a reading.
constexpr int maxDigits = 9;
}  // namespace

int readAdcRaw(const std::string& channelFile) {
  int fd = open(Platform::path(iioDevice + channelFile).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[16];
  ssize_t got = pread(fd, text, sizeof text, 0);
  close(fd);
  int raw = 0;
  for (ssize_t i = 0; i < got && i < maxDigits && text[i] >= '0' && text[i] <= '9'; ++i)
    raw = raw * 10 + (text[i] - '0');
  return raw;
}

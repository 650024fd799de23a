#include "platform/SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/Log.h"
#include "platform/Platform.h"

namespace Platform {
namespace {

struct StandardRate {
  uint32_t rate;
  speed_t speed;
};

constexpr std::array<StandardRate, 30> standardRates{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

const StandardRate& rateFor(uint32_t requested) {
  for (const StandardRate& entry : standardRates) {
    if (entry.rate >= requested) return entry;
  }
  return standardRates[12];  // 9600
}

// How long a partial write waits for the line to take more.
constexpr int writeWaitMilliseconds = 100;

class TermiosSerialPort : public SerialPort {
 public:
  TermiosSerialPort(uint8_t line, const char* devicePath) {
    if (devicePath == nullptr) return;
    std::string path = Platform::path(devicePath);
    descriptor = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
      LOGW("Failed to open serial line %u (%s): %s", static_cast<unsigned>(line), devicePath, std::strerror(errno));
      return;
    }
    configure(115200, "8n1");
    if (line == 1 || line == 2) {
      // Kernel RS485 mode: RTS drives the transmitter while sending, with a
      // 1 ms settling time before and after. A UART or pseudo-terminal
      // without the mode refuses it; the line then works as plain serial.
      serial_rs485 rs485{};
      rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
      rs485.delay_rts_before_send = 1;
      rs485.delay_rts_after_send = 1;
      ioctl(descriptor, TIOCSRS485, &rs485);
    }
  }

  ~TermiosSerialPort() override {
    if (descriptor >= 0) ::close(descriptor);
  }

  int fd() const override { return descriptor; }

  void configure(uint32_t baud, const char* mode) override {
    if (descriptor < 0) return;
    termios settings{};
    if (tcgetattr(descriptor, &settings) != 0) return;
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
    // Read up to the terminator only: a shorter text is no reason to read past it.
    char dataBits = mode != nullptr ? mode[0] : '\0';
    char parity = dataBits != '\0' ? mode[1] : '\0';
    char stopBits = parity != '\0' ? mode[2] : '\0';
    if (parity == 'e' || parity == 'E') settings.c_cflag |= PARENB;
    if (parity == 'o' || parity == 'O') settings.c_cflag |= PARENB | PARODD;
    if (stopBits == '2') settings.c_cflag |= CSTOPB;
    switch (dataBits) {
      case '5': settings.c_cflag |= CS5; break;
      case '6': settings.c_cflag |= CS6; break;
      case '7': settings.c_cflag |= CS7; break;
      default: settings.c_cflag |= CS8; break;
    }
    cfsetspeed(&settings, rateFor(baud).speed);
    tcsetattr(descriptor, TCSANOW, &settings);
  }

  void send(const uint8_t* data, size_t length) override {
    if (descriptor < 0) return;
    writeAll(data, length);
    tcdrain(descriptor);
  }

  uint16_t read(uint8_t* buffer, uint16_t maximum) override {
    if (descriptor < 0 || maximum == 0) return 0;
    ssize_t got;
    while ((got = ::read(descriptor, buffer, maximum)) < 0 && errno == EINTR) {
    }
    return got > 0 ? static_cast<uint16_t>(got) : 0;
  }

  uint32_t available() override {
    if (descriptor < 0) return 0;
    int count = 0;
    if (ioctl(descriptor, FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<uint32_t>(count);
  }

  void flushInput() override {
    if (descriptor >= 0) tcflush(descriptor, TCIFLUSH);
  }

  // Stops at the first error; a full output buffer waits for room once per
  // partial write, so a line that takes nothing gives up after 100 ms.
  void writeAll(const uint8_t* data, size_t length) override {
    if (descriptor < 0) return;
    while (length > 0) {
      ssize_t written = ::write(descriptor, data, length);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && errno != EAGAIN) return;
      if (written > 0) {
        data += written;
        length -= static_cast<size_t>(written);
        if (length == 0) return;
      }
      pollfd room{descriptor, POLLOUT, 0};
      int ready;
      while ((ready = ::poll(&room, 1, writeWaitMilliseconds)) < 0 && errno == EINTR) {
      }
      if (ready <= 0 || (room.revents & POLLOUT) == 0) return;
    }
  }

 private:
  int descriptor = -1;
};

}  // namespace

const char* serialDevicePath(uint8_t line) {
  switch (line) {
    case 1: return "/dev/ttyS4";
    case 2: return "/dev/ttyS6";
    case 3: return "/dev/ttyS9";
    default: return nullptr;
  }
}

std::unique_ptr<SerialPort> openSerialPort(uint8_t line) {
  return std::make_unique<TermiosSerialPort>(line, serialDevicePath(line));
}

uint32_t standardBaudRate(uint32_t requested) { return rateFor(requested).rate; }

}  // namespace Platform

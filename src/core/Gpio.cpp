#include "core/Gpio.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace {
std::string gpioPath(const std::string& name) { return Platform::path("/run/gpio/" + name); }
}  // namespace

GpioControl::GpioControl(const std::string& name) : fd(open(gpioPath(name).c_str(), O_WRONLY | O_CLOEXEC)) {}

GpioControl::~GpioControl() {
  if (fd >= 0) close(fd);
}

GpioControl::GpioControl(GpioControl&& other) noexcept : fd(other.fd) { other.fd = -1; }

GpioControl& GpioControl::operator=(GpioControl&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

void GpioControl::on() const { [[maybe_unused]] ssize_t written = write(fd, "1", 1); }

void GpioControl::off() const { [[maybe_unused]] ssize_t written = write(fd, "0", 1); }

int readGpioInput(const std::string& name) {
  int fd = open(gpioPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char value = 0;
  ssize_t got = read(fd, &value, 1);
  close(fd);
  if (got != 1) return -1;
  return value - '0';
}

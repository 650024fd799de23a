#pragma once
// A GPIO signal published by the system start-up as a file under /run/gpio/.
// Outputs take one character, "1" or "0"; inputs read their file. A missing
// file disables the signal silently.
#include <string>

class GpioControl {
 public:
  // Output control: opened write-only.
  explicit GpioControl(const std::string& name);
  ~GpioControl();
  GpioControl(const GpioControl&) = delete;
  GpioControl& operator=(const GpioControl&) = delete;
  GpioControl(GpioControl&& other) noexcept;
  GpioControl& operator=(GpioControl&& other) noexcept;

  void on() const;
  void off() const;
  void set(bool value) const { value ? on() : off(); }
  bool isOpen() const { return fd >= 0; }

 private:
  int fd = -1;
};

// Input signals: the first character of the file, or -1 when it cannot be read.
// The buttons and the tamper switch read 1 when released.
int readGpioInput(const std::string& name);

#pragma once
// A raw serial line by line number: 1 and 2 are the RS485 lines (/dev/ttyS4,
// /dev/ttyS6), which the kernel drives in RS485 mode (RTS switches the
// transmitter on while sending); 3 is the modem line (/dev/ttyS9, plain
// serial). In simulation mode the same paths under the root are links to
// pseudo-terminals made by the simulators; a pseudo-terminal refuses the RS485
// mode, which is ignored as on a UART without it.
//
// A line is opened once. When its device cannot be opened the port is inert:
// every operation does nothing and returns 0, so every exchange on it times
// out.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Platform {

// The line settings of one exchange; every request carries a copy.
//   {timeout 2000, baud 9600, line 1, raw 0, "8n1"}: 9600 baud, 8 data bits,
//   no parity, 1 stop bit, a CRC on both frames, 2 s for the answer.
struct LineConfig {
  // Milliseconds to wait for the answer; 0 means 3000.
  uint16_t timeout = 2000;
  // Bits per second as configured; the port picks the nearest standard rate.
  uint32_t baud = 9600;
  // Line number: 1 and 2 are served by the RS485 I/O thread.
  uint8_t line = 1;
  // 1: the frame goes out as given and the answer is taken without a CRC check.
  uint8_t raw = 0;
  // Data bits, parity ('n', 'e', 'o'), stop bits, terminator.
  char mode[4] = {'8', 'n', '1', '\0'};
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // The descriptor, -1 when the line is not open.
  virtual int fd() const = 0;
  // Raw mode at the smallest standard rate at or above `baud` (9600 above
  // 4000000) with the character format of `mode` ("8n1", "7e2", ...).
  virtual void configure(uint32_t baud, const char* mode) = 0;
  // Writes all bytes, then waits until they have left the UART.
  virtual void send(const uint8_t* data, size_t length) = 0;
  // Writes all bytes without waiting for them to leave the UART (a line that
  // takes nothing for 100 ms gives up). Ports without their own do send().
  virtual void writeAll(const uint8_t* data, size_t length) { send(data, length); }
  // One read of at most `maximum` bytes; 0 when nothing was read.
  virtual uint16_t read(uint8_t* buffer, uint16_t maximum) = 0;
  // Bytes received and not yet read.
  virtual uint32_t available() = 0;
  // Drops everything received and not yet read.
  virtual void flushInput() = 0;

 protected:
  SerialPort() = default;
};

// The firmware path of a line's device ("/dev/ttyS4"), null for any other line.
const char* serialDevicePath(uint8_t line);

// Opens a line's device once, non-blocking and never as controlling terminal,
// at 115200 baud "8n1", RS485 mode on lines 1 and 2. A device that cannot be
// opened is logged and gives an inert port.
std::unique_ptr<SerialPort> openSerialPort(uint8_t line);

// The rate configure() selects for a requested one: 9600 -> 9600,
// 9601 -> 19200, 0 -> 50, 5000000 -> 9600.
uint32_t standardBaudRate(uint32_t requested);

}  // namespace Platform

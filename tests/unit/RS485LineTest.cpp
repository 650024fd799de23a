// The RS485 I/O thread's exchanges on fake lines with a clock the test moves,
// and the serial port on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "Eventually.h"
#include "LogLines.h"
#include "RS485TestSupport.h"
#include "platform/Platform.h"
#include "platform/SerialPort.h"
#include "rs485/DeviceCore.h"
#include "rs485/RS485.h"

namespace {

using namespace RS485Test;
using RS485::IOProcessor;
using TestLog::messagesOf;

// Two fake lines, a clock that only the test (and the processor's sleeps)
// move, and every sleep the processor took.
class IoFixture : public ::testing::Test {
 protected:
  IoFixture()
      : processor(IOProcessor::Environment{
            [this] { return now.load(); },
            [this](int milliseconds) {
              sleeps.push_back(milliseconds);
              now.fetch_add(milliseconds);
            },
            [this](uint8_t line) { return std::make_unique<FakeSerialPort>(lines[line - 1], mutex); }}) {}

  Platform::LineConfig config(uint8_t line, uint16_t timeout = 2000, uint32_t baud = 9600) const {
    Platform::LineConfig result;
    result.line = line;
    result.timeout = timeout;
    result.baud = baud;
    return result;
  }
  static bool ready(std::future<Bytes>& answer) {
    return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }
  void answerOn(int line, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    lines[line - 1].incoming.push_back(bytes);
  }

  std::atomic<int64_t> now{1000};
  std::vector<int> sleeps;
  std::mutex mutex;
  FakeLine lines[2];
  IOProcessor processor;
};

TEST(RS485Frame, CrcCheckOfAnAnswer) {
  EXPECT_TRUE(RS485::crcMatches(bytesOf("31 32 33 34 35 36 37 38 39 37 4B")));  // "123456789", 0x4B37
  EXPECT_FALSE(RS485::crcMatches(bytesOf("31 32 33 34 35 36 37 38 39 4B 37")));
  EXPECT_FALSE(RS485::crcMatches(bytesOf("FF")));
}

// The driver base frames address, payload and CRC (low byte first).
TEST(RS485Frame, RequestFramesAddressPayloadAndCrc) {
  FakeMeter meter("01", {{"00", "00 AB"}});
  struct Probe : RS485::DeviceCore {
    using DeviceCore::DeviceCore;
    std::unique_ptr<RS485::RSMeterData> readStep(uint8_t) override { return nullptr; }
  } probe(deviceRecord(0, 1), meter);
  probe.addressLength = 1;
  probe.address = 0x01;
  EXPECT_EQ(hexOf(probe.request({0x00})), hexOf(withCrc(bytesOf("01 00 AB"))));
  ASSERT_EQ(meter.frames.size(), 1u);
  EXPECT_EQ(hexOf(meter.frames[0]), "01 00 00 20");

  // Raw: the frame goes as given and no CRC is added.
  struct RawLine : RS485::LineTransport {
    std::future<Bytes> enqueue(const Bytes& frame, const Platform::LineConfig&) override {
      sent = frame;
      std::promise<Bytes> promise;
      promise.set_value({});
      return promise.get_future();
    }
    Bytes sent;
  } raw;
  struct RawProbe : RS485::DeviceCore {
    using DeviceCore::DeviceCore;
    std::unique_ptr<RS485::RSMeterData> readStep(uint8_t) override { return nullptr; }
  } rawProbe(deviceRecord(0, 1), raw);
  rawProbe.config.raw = 1;
  rawProbe.addressLength = 4;
  rawProbe.address = 0x4E61BC00;
  rawProbe.request({0x81});
  EXPECT_EQ(hexOf(raw.sent), "00 BC 61 4E 81");
}

TEST(RS485Frame, SpeedTable) {
  struct Case {
    uint32_t requested;
    uint32_t selected;
  };
  for (Case c : {Case{9600, 9600}, Case{9601, 19200}, Case{10000, 19200}, Case{0, 50}, Case{2400, 2400},
                 Case{65536, 115200}, Case{115200, 115200}, Case{4000000, 4000000}, Case{4000001, 9600},
                 Case{5000000, 9600}}) {
    EXPECT_EQ(Platform::standardBaudRate(c.requested), c.selected) << c.requested;
  }
}

TEST_F(IoFixture, AnswerIsDeliveredAndTheLineSetPerExchange) {
  Platform::LineConfig settings = config(1, 2000, 2400);
  std::memcpy(settings.mode, "7e2", 4);
  std::future<Bytes> answer = processor.enqueue(bytesOf("01 00 00 20"), settings);
  processor.pass();
  ASSERT_EQ(lines[0].sent.size(), 1u);
  EXPECT_EQ(hexOf(lines[0].sent[0]), "01 00 00 20");
  ASSERT_EQ(lines[0].configured.size(), 1u);
  EXPECT_EQ(lines[0].configured[0], (std::pair<uint32_t, std::string>{2400, "7e2"}));
  EXPECT_EQ(lines[0].flushes, 1);
  EXPECT_FALSE(ready(answer));

  Bytes reply = withCrc(bytesOf("01 00"));
  answerOn(1, reply);
  sleeps.clear();
  processor.pass();
  ASSERT_TRUE(ready(answer));
  EXPECT_EQ(answer.get(), reply);
  // Below 9600 baud the receive pause is 50 ms; after delivery 10 ms.
  EXPECT_EQ(sleeps, (std::vector<int>{50, 10}));
  EXPECT_FALSE(processor.anyBusy());
}

// Each way an answer can come in, with what the caller gets and the log says.
TEST_F(IoFixture, ReceivePaths) {
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    bool raw;
    bool phantom;
    bool delivered;
    std::vector<std::string> log;
  };
  Bytes good = withCrc(bytesOf("01 00"));
  Bytes badCrc = bytesOf("01 00 00 21");
  Bytes split1(good.begin(), good.begin() + 2), split2(good.begin() + 2, good.end());
  Bytes tooLong(300, 0x55);
  std::vector<Case> cases = {
      {"whole", {good}, false, false, true, {}},
      {"in two pieces", {split1, split2}, false, false, true, {}},
      {"bad CRC", {badCrc}, false, false, false, {"CRC16 Error"}},
      {"raw takes any bytes", {badCrc}, true, false, true, {}},
      {"one byte", {bytesOf("01")}, false, false, false, {}},
      {"all zeros", {Bytes(5, 0)}, false, false, false, {"Receive packet len = 5 with all zeros"}},
      {"over 256 bytes", {tooLong}, true, false, false, {"Receive packet longer than 256 bytes dropped"}},
      {"nothing to read", {}, false, true, false, {"No data"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Platform::LineConfig settings = config(2);
    settings.raw = c.raw ? 1 : 0;
    std::future<Bytes> answer = processor.enqueue(bytesOf("05 01 02"), settings);
    processor.pass();
    CaptureStdout output;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const Bytes& chunk : c.chunks) lines[1].incoming.push_back(chunk);
      lines[1].phantomBytes = c.phantom;
    }
    processor.pass();
    {
      std::lock_guard<std::mutex> lock(mutex);
      lines[1].phantomBytes = false;
    }
    EXPECT_EQ(messagesOf(output.text(), "RS485.cpp"), c.log);
    EXPECT_EQ(ready(answer), c.delivered);
    if (c.delivered) {
      EXPECT_EQ(answer.get(), c.chunks.size() == 2 ? good : c.chunks[0]);
      continue;
    }
    // A dropped answer leaves the exchange to its time-out.
    now.fetch_add(2001);
    processor.pass();
    ASSERT_TRUE(ready(answer));
    EXPECT_TRUE(answer.get().empty());
    EXPECT_EQ(lines[1].pending(), 0u);
  }
}

TEST_F(IoFixture, BytesOnAnIdleLineAreReportedAndDropped) {
  CaptureStdout output;
  answerOn(1, withCrc(bytesOf("01 00")));
  processor.pass();
  EXPECT_EQ(messagesOf(output.text(), "RS485.cpp"), std::vector<std::string>{"Unexpected IOProcessor packet"});
  EXPECT_EQ(lines[0].pending(), 0u);
}

// Elapsed milliseconds, not the seconds and nanoseconds apart: the limit
// holds across a second boundary.
TEST_F(IoFixture, TimeOutAcrossASecondBoundaryAndZeroMeansThreeSeconds) {
  struct Case {
    uint16_t timeout;
    int64_t lastWaiting;
  };
  for (Case c : {Case{2000, 2000}, Case{0, 3000}, Case{150, 150}}) {
    SCOPED_TRACE(c.timeout);
    now = 1999;
    std::future<Bytes> answer = processor.enqueue(bytesOf("01 00 00 20"), config(1, c.timeout));
    processor.pass();
    now = 1999 + c.lastWaiting;
    processor.pass();
    EXPECT_FALSE(ready(answer));
    now = 1999 + c.lastWaiting + 1;
    processor.pass();
    ASSERT_TRUE(ready(answer));
    EXPECT_TRUE(answer.get().empty());
  }
}

TEST_F(IoFixture, LinesRunSideBySideAndEachInOrder) {
  std::future<Bytes> first = processor.enqueue(bytesOf("0A"), config(1));
  std::future<Bytes> second = processor.enqueue(bytesOf("0B"), config(1));
  std::future<Bytes> other = processor.enqueue(bytesOf("0C"), config(2));
  processor.pass();
  ASSERT_EQ(lines[0].sent.size(), 1u);
  EXPECT_EQ(hexOf(lines[0].sent[0]), "0A");
  ASSERT_EQ(lines[1].sent.size(), 1u);
  EXPECT_EQ(hexOf(lines[1].sent[0]), "0C");

  // The second request of line 1 goes out in the pass that ends the first.
  answerOn(1, withCrc(bytesOf("0A 01")));
  processor.pass();
  EXPECT_TRUE(ready(first));
  ASSERT_EQ(lines[0].sent.size(), 2u);
  EXPECT_EQ(hexOf(lines[0].sent[1]), "0B");
  EXPECT_FALSE(ready(second));
  EXPECT_FALSE(ready(other));
}

TEST_F(IoFixture, OtherLinesAndAFullQueueAnswerEmptyAtOnce) {
  CaptureStdout output;
  for (uint8_t line : {uint8_t{0}, uint8_t{3}, uint8_t{7}}) {
    std::future<Bytes> answer = processor.enqueue(bytesOf("01"), config(line));
    ASSERT_TRUE(ready(answer));
    EXPECT_TRUE(answer.get().empty());
  }
  EXPECT_EQ(messagesOf(output.text(), "RS485.cpp"), std::vector<std::string>(3, "Incorrect IOProcessor ID"));

  std::vector<std::future<Bytes>> queued;
  for (size_t i = 0; i < IOProcessor::queueLimit; ++i) queued.push_back(processor.enqueue(bytesOf("01"), config(1)));
  std::future<Bytes> refused = processor.enqueue(bytesOf("01"), config(1));
  ASSERT_TRUE(ready(refused));
  EXPECT_TRUE(refused.get().empty());
  EXPECT_FALSE(ready(queued.back()));
}

// The thread itself: it sleeps while idle, serves a request as soon as it is
// queued, and stops when the processor goes.
TEST(RS485IoThread, ServesRequestsAndStops) {
  std::mutex mutex;
  FakeLine lines[2];
  for (FakeLine& line : lines) {
    line.onSend = [](FakeLine& self, const Bytes& frame) {
      self.incoming.push_back(withCrc(Bytes(frame.begin(), frame.end() - 2)));
    };
  }
  auto processor = std::make_unique<IOProcessor>(IOProcessor::Environment{
      {}, {}, [&](uint8_t line) { return std::make_unique<FakeSerialPort>(lines[line - 1], mutex); }});
  processor->start();
  for (uint8_t line : {uint8_t{1}, uint8_t{2}, uint8_t{1}}) {
    Platform::LineConfig settings;
    settings.line = line;
    std::future<Bytes> answer = processor->enqueue(withCrc(bytesOf("07 08")), settings);
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(hexOf(answer.get()), hexOf(withCrc(bytesOf("07 08"))));
  }
  processor.reset();
}

// The port on a pseudo-terminal linked where a line's device is expected.
class SerialPortOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Platform::simulationMode());
    link = Platform::path("/dev/ttyS9");
    std::filesystem::remove(link);
    char name[64];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::filesystem::create_symlink(name, link);
  }
  void TearDown() override {
    std::filesystem::remove(link);
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }

  std::string link;
  int master = -1;
  int slave = -1;
};

TEST_F(SerialPortOnPty, ConfiguresSendsAndReads) {
  std::unique_ptr<Platform::SerialPort> port = Platform::openSerialPort(3);
  ASSERT_GE(port->fd(), 0);
  EXPECT_NE(fcntl(port->fd(), F_GETFL) & O_NONBLOCK, 0);

  termios seen{};
  ASSERT_EQ(tcgetattr(master, &seen), 0);
  EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B115200));
  port->configure(9601, "8n2");
  ASSERT_EQ(tcgetattr(master, &seen), 0);
  EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B19200));
  EXPECT_NE(seen.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(seen.c_lflag & ICANON, 0u);

  Bytes frame = bytesOf("01 00 00 20");
  port->send(frame.data(), frame.size());
  uint8_t received[16] = {};
  ASSERT_TRUE(TestWait::eventually([&] { return ::read(master, received, sizeof received) == 4; }));
  EXPECT_EQ(hexOf(Bytes(received, received + 4)), "01 00 00 20");

  Bytes answer = bytesOf("01 00 AA BB CC");
  ASSERT_EQ(::write(master, answer.data(), answer.size()), 5);
  ASSERT_TRUE(TestWait::eventually([&] { return port->available() == 5; }));
  uint8_t buffer[8] = {};
  EXPECT_EQ(port->read(buffer, 2), 2);
  port->flushInput();
  EXPECT_EQ(port->available(), 0u);
  EXPECT_EQ(port->read(buffer, 8), 0);
}

TEST(SerialPort, MissingDeviceGivesAnInertPortAndOneLine) {
  std::filesystem::remove(Platform::path("/dev/ttyS9"));
  CaptureStdout output;
  std::unique_ptr<Platform::SerialPort> port = Platform::openSerialPort(3);
  EXPECT_EQ(port->fd(), -1);
  port->configure(9600, "8n1");
  uint8_t byte = 0;
  port->send(&byte, 1);
  EXPECT_EQ(port->read(&byte, 1), 0);
  EXPECT_EQ(port->available(), 0u);
  std::vector<std::string> lines = messagesOf(output.text(), "SerialPort.cpp");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Failed to open serial line 3 (/dev/ttyS9)", 0), 0u) << lines[0];
  EXPECT_EQ(Platform::openSerialPort(4)->fd(), -1);
}

}  // namespace

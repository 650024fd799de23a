#pragma once
// The RS485 I/O thread: it owns both RS485 lines and runs at most one
// exchange per line at a time. A caller queues a frame (enqueue) and waits on
// the future; the thread sends the oldest queued frame of an idle line, collects
// the answer (at most 256 bytes), checks its CRC-16/MODBUS and fulfils the
// future with it, or with an empty answer when the time-out passes first.
// Requests of one line are served strictly in order of arrival; each exchange
// sets the line's speed and character format from its request, so meters with
// different settings can share a line.
//
// One pass looks at line 1, then line 2: receive, deliver, time-out, start.
// While an exchange is in progress the passes run every 5 ms; while both
// lines are idle with nothing queued the thread sleeps until a request is
// queued or bytes arrive on a line (such bytes are reported and dropped).
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include "core/Thread.h"
#include "platform/SerialPort.h"
#include "rs485/LineTransport.h"

namespace RS485 {

struct IoRequest {
  Bytes frame;
  LineConfig config;
  std::promise<Bytes> promise;
};

// One served line and its exchange in progress. Only the I/O thread touches
// the port and the exchange fields; producers only append to the queue.
struct IoChannel {
  explicit IoChannel(std::unique_ptr<Platform::SerialPort> openedPort) : port(std::move(openedPort)) {}

  std::unique_ptr<Platform::SerialPort> port;
  int64_t startedMilliseconds = 0;
  uint32_t timeout = 0;
  std::optional<std::promise<Bytes>> pending;
  bool raw = false;
  bool busy = false;
  // Below 9600 baud the receive pauses are longer, so a slow answer is still
  // collected as one frame.
  bool slow = false;
  // The port reported a hang-up (the simulator's end went away): it is left
  // out of the idle wait, which would otherwise wake at once forever.
  bool hungUp = false;

  std::mutex mutex;
  std::deque<IoRequest> queue;
};

class IOProcessor : public Thread, public LineTransport {
 public:
  static constexpr uint8_t lineCount = 2;
  static constexpr uint16_t answerCapacity = 256;
  static constexpr uint32_t defaultTimeoutMilliseconds = 3000;
  static constexpr int passMilliseconds = 5;
  static constexpr int receivePauseMilliseconds = 1;
  static constexpr int slowReceivePauseMilliseconds = 50;
  static constexpr int afterAnswerMilliseconds = 10;
  // Requests waiting per line. The poll thread waits for each answer, so a
  // line holds one or two; the bound only stops a runaway producer.
  static constexpr size_t queueLimit = 16;

  // What the thread reads the time from, sleeps with and opens its lines
  // with; empty members get the platform's.
  struct Environment {
    std::function<int64_t()> nowMilliseconds;  // monotonic
    std::function<void(int milliseconds)> sleep;
    std::function<std::unique_ptr<Platform::SerialPort>(uint8_t line)> openPort;
  };

  // The process-wide thread, made on first use (never destroyed).
  static IOProcessor* instance();

  // Opens lines 1 and 2.
  explicit IOProcessor(Environment environment = {});
  // Stops the loop and waits for it (a bounded wait), so a test's instance can go.
  ~IOProcessor() override;

  // Any thread. A line other than 1 or 2, or a full queue, gives an empty
  // answer at once.
  std::future<Bytes> enqueue(const Bytes& frame, const LineConfig& config) override;

  // One pass over both lines; the thread's loop, and tests, call it.
  void pass();
  // An exchange is in progress on some line.
  bool anyBusy() const;

 protected:
  void run() override;

 private:
  void serve(IoChannel& channel);
  Bytes receive(IoChannel& channel);
  bool timedOut(const IoChannel& channel) const;
  void startNext(IoChannel& channel);
  void endExchange(IoChannel& channel);
  void waitWhileIdle();

  Environment environment;
  IoChannel channels[lineCount];
  // Counts queued requests (semaphore mode), so the idle thread wakes for one.
  int queuedFd = -1;
};

// CRC-16/MODBUS of everything but the last two bytes equals those two bytes,
// low byte first.
bool crcMatches(const Bytes& frame);

}  // namespace RS485

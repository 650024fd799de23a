#include "rs485/RS485.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "core/Crc16.h"
#include "core/Event.h"
#include "core/Log.h"
#include "platform/Clock.h"

namespace RS485 {
namespace {

IOProcessor::Environment withDefaults(IOProcessor::Environment environment) {
  if (!environment.nowMilliseconds) environment.nowMilliseconds = Platform::monotonicCoarseMilliseconds;
  if (!environment.sleep) environment.sleep = msleep;
  if (!environment.openPort) environment.openPort = Platform::openSerialPort;
  return environment;
}

std::future<Bytes> emptyAnswer() {
  std::promise<Bytes> promise;
  promise.set_value({});
  return promise.get_future();
}

bool allZero(const uint8_t* data, size_t length) {
  return std::all_of(data, data + length, [](uint8_t byte) { return byte == 0; });
}

}  // namespace

bool crcMatches(const Bytes& frame) {
  if (frame.size() < 2) return false;
  size_t body = frame.size() - 2;
  uint16_t received = static_cast<uint16_t>(frame[body] | frame[body + 1] << 8);
  return crc16Modbus(frame.data(), body) == received;
}

IOProcessor* IOProcessor::instance() {
  static IOProcessor* processor = new IOProcessor();
  return processor;
}

IOProcessor::IOProcessor(Environment env)
    : environment(withDefaults(std::move(env))),
      channels{IoChannel(environment.openPort(1)), IoChannel(environment.openPort(2))},
      queuedFd(makeEventFd()) {}

IOProcessor::~IOProcessor() {
  stop();
  if (queuedFd >= 0) close(queuedFd);
}

std::future<Bytes> IOProcessor::enqueue(const Bytes& frame, const LineConfig& config) {
  if (config.line != 1 && config.line != 2) {
    LOGW("Incorrect IOProcessor ID");
    return emptyAnswer();
  }
  IoChannel& channel = channels[config.line - 1];
  std::future<Bytes> answer;
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    if (channel.queue.size() >= queueLimit) {
      LOGW("IOProcessor queue of line %u full: request dropped", static_cast<unsigned>(config.line));
      return emptyAnswer();
    }
    channel.queue.push_back(IoRequest{frame, config, std::promise<Bytes>()});
    answer = channel.queue.back().promise.get_future();
    // Under the mutex, so the count never lags behind the queue when the
    // thread takes the request out.
    signalEvent(queuedFd);
  }
  return answer;
}

bool IOProcessor::anyBusy() const {
  return std::any_of(std::begin(channels), std::end(channels), [](const IoChannel& c) { return c.busy; });
}

void IOProcessor::run() {
  alive.store(1);
  while (keepRunning.load() != 0) {
    pass();
    if (anyBusy()) {
      environment.sleep(passMilliseconds);
    } else {
      waitWhileIdle();
    }
  }
}

void IOProcessor::waitWhileIdle() {
  pollfd waitFor[2 + lineCount];
  nfds_t count = 0;
  waitFor[count++] = {queuedFd, POLLIN, 0};
  waitFor[count++] = {stopDescriptor(), POLLIN, 0};
  IoChannel* watched[lineCount] = {};
  for (IoChannel& channel : channels) {
    int fd = channel.port->fd();
    if (fd < 0 || channel.hungUp) continue;
    watched[count - 2] = &channel;
    waitFor[count++] = {fd, POLLIN, 0};
  }
  if (poll(waitFor, count, -1) <= 0) return;
  for (nfds_t i = 2; i < count; ++i) {
    IoChannel& channel = *watched[i - 2];
    short events = waitFor[i].revents;
    // A hung-up terminal, or one that polls readable with nothing to read,
    // would wake this wait at once forever.
    bool dead = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
                ((events & POLLIN) != 0 && channel.port->available() == 0);
    if (dead) {
      channel.hungUp = true;
      LOGW("Serial line %d hung up", static_cast<int>(&channel - channels) + 1);
    }
  }
}

void IOProcessor::pass() {
  for (IoChannel& channel : channels) serve(channel);
}

void IOProcessor::serve(IoChannel& channel) {
  Bytes answer = receive(channel);
  if (!answer.empty()) {
    if (!channel.raw && !crcMatches(answer)) {
      LOGW("CRC16 Error");
    } else if (channel.busy) {
      channel.pending->set_value(std::move(answer));
      environment.sleep(afterAnswerMilliseconds);
      endExchange(channel);
    } else {
      LOGW("Unexpected IOProcessor packet");
    }
  }
  if (channel.busy && timedOut(channel)) {
    channel.pending->set_value({});
    endExchange(channel);
  }
  if (!channel.busy) startNext(channel);
}

Bytes IOProcessor::receive(IoChannel& channel) {
  Platform::SerialPort& port = *channel.port;
  if (port.available() == 0) return {};
  uint8_t buffer[answerCapacity];
  uint16_t total = 0;
  for (;;) {
    uint16_t got = port.read(buffer + total, static_cast<uint16_t>(answerCapacity - total));
    if (got == 0) break;
    total = static_cast<uint16_t>(total + got);
    environment.sleep(channel.slow ? slowReceivePauseMilliseconds : receivePauseMilliseconds);
  }
  if (total == 0) {
    LOGW("No data");
    return {};
  }
  if (total == answerCapacity && port.available() > 0) {
    // No meter answer is this long: the rest would only come as a second
    // piece of the same noise.
    port.flushInput();
    LOGW("Receive packet longer than %u bytes dropped", static_cast<unsigned>(answerCapacity));
    return {};
  }
  if (total == 1) return {};
  if (allZero(buffer, total)) {
    LOGW("Receive packet len = %d with all zeros", static_cast<int>(total));
    return {};
  }
  return Bytes(buffer, buffer + total);
}

// Signed 64-bit milliseconds: the elapsed time stays right across second
// boundaries and never wraps.
bool IOProcessor::timedOut(const IoChannel& channel) const {
  int64_t elapsed = environment.nowMilliseconds() - channel.startedMilliseconds;
  return elapsed > static_cast<int64_t>(channel.timeout);
}

void IOProcessor::startNext(IoChannel& channel) {
  IoRequest request;
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    if (channel.queue.empty()) return;
    request = std::move(channel.queue.front());
    channel.queue.pop_front();
  }
  takeEvent(queuedFd);
  Platform::SerialPort& port = *channel.port;
  port.configure(request.config.baud, request.config.mode);
  port.flushInput();
  port.send(request.frame.data(), request.frame.size());
  channel.timeout = request.config.timeout != 0 ? request.config.timeout : defaultTimeoutMilliseconds;
  channel.startedMilliseconds = environment.nowMilliseconds();
  channel.pending.emplace(std::move(request.promise));
  channel.raw = request.config.raw != 0;
  channel.slow = request.config.baud < 9600;
  channel.busy = true;
}

void IOProcessor::endExchange(IoChannel& channel) {
  channel.raw = false;
  channel.busy = false;
  channel.pending.reset();
}

}  // namespace RS485

#include "net/sim800/controller.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "core/Gpio.h"
#include "core/Log.h"
#include "net/sim800/ModemText.h"
#include "platform/Clock.h"
#include "platform/ThreadName.h"

namespace {

constexpr uint8_t atChannel = 1;
constexpr uint8_t dataChannel = 2;
// An IMEI has 15 digits; shorter digit texts are other answers.
constexpr size_t imeiMinimumLength = 11;
// Texts read and dropped at most per start-up step: a modem that chatters
// without end cannot hold the start-up.
constexpr int startUpTextLimit = 64;

const char* const pppdProgram = "/usr/sbin/pppd";
// How long data for pppd waits for room on its terminal.
constexpr int terminalWaitMilliseconds = 100;

}  // namespace

Sim800::Environment Sim800::Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.status = &Catalogue::gsmStatus();
  environment.port = Platform::openSerialPort(3);
  environment.setPower = [power = std::make_shared<GpioControl>("on_gsm")](bool on) { power->set(on); };
  environment.seconds = [] { return Platform::monotonicCoarseSeconds(); };
  environment.ppp.start = [] {
    return Platform::spawnOnTerminal(pppdProgram,
                                     {"pppd", "-detach", "defaultroute", "defaultroute-metric", "322", "noauth"});
  };
  environment.ppp.ended = [](pid_t pid, int* status) { return Platform::reapIfEnded(pid, status); };
  environment.ppp.kill = [](pid_t pid) { Platform::killAndReap(pid); };
  return environment;
}

Sim800* Sim800::instance() {
  static Sim800* const modem = new Sim800();
  return modem;
}

Sim800::Sim800(Environment modemEnvironment)
    : environment(std::move(modemEnvironment)),
      mux({environment.port.get(), environment.seconds, [this](int milliseconds) { sleepFor(milliseconds); },
           [this](const uint8_t* bytes, size_t length) { handleDataCall(bytes, length); }}) {
  if (!environment.sleep) environment.sleep = [this](int milliseconds) { waitForStop(milliseconds); };
  if (!environment.waitForInput) {
    environment.waitForInput = [this](int portFd, int masterFd, int milliseconds) {
      pollfd slots[3] = {{portFd, POLLIN, 0}, {masterFd, POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
      Readiness readiness;
      if (poll(slots, 3, milliseconds) <= 0) return readiness;
      readiness.port = (slots[0].revents & POLLIN) != 0;
      readiness.portHangUp = !readiness.port && (slots[0].revents & (POLLHUP | POLLERR)) != 0;
      readiness.master = slots[1].revents != 0;
      return readiness;
    };
  }
  lastPoll = now();
  dialTime = lastPoll;
}

Sim800::~Sim800() {
  stop();
  if (ppp) stopPpp();
}

void Sim800::run() {
  Platform::nameCurrentThread("Sim800");
  while (!stopRequested()) {
    while (!stopRequested() && !startUp()) {
    }
    if (stopRequested()) return;
    beginService();
    // Bluetooth reported off restarts the modem, once no data call runs.
    while (!stopRequested() && !(bt.restartRequested && !ppp)) servicePass();
    bt = {};
  }
}

void Sim800::sendAt(const char* text) { mux.sendFrame(atChannel, text, std::strlen(text)); }

void Sim800::setRssi(int value) {
  rssi = value;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    environment.status->rssi.value = value;
  }
  environment.tree->commit(environment.status->rssi);
}

void Sim800::setImei(unsigned long long value) {
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    environment.status->imei.value = value;
  }
  environment.tree->commit(environment.status->imei);
}

void Sim800::powerCycle(bool on) {
  static const char speedCommand[] = "\r\nATE0Q0+IPR=460800;\r\n";
  if (rssi != noSignal) setRssi(noSignal);
  environment.setPower(false);
  if (!on) return;
  sleepFor(200);
  environment.setPower(true);
  sleepFor(3000);
  Platform::SerialPort& port = *environment.port;
  port.configure(115200, "8n1");
  port.send(reinterpret_cast<const uint8_t*>(speedCommand), sizeof speedCommand - 1);
  sleepFor(2000);
  port.configure(460800, "8n1");
  port.flushInput();
}

bool Sim800::startUp() {
  powerCycle(false);
  powerCycle(true);
  mux.startMux();
  for (int count = 0; count < startUpTextLimit && !mux.readAtText().empty(); ++count) {
  }
  sendAt("\r\nAT+GSN\r\n");
  sleepFor(100);
  bool found = false;
  for (int count = 0; count < startUpTextLimit; ++count) {
    ByteBuffer text = mux.readAtText();
    if (text.empty()) break;
    if (found) continue;
    // "\r\n123456789012345\r\n": the modem may frame the line ends with it.
    const char* answer = ModemText::skipLineEnds(text.text());
    size_t length = std::strlen(answer);
    if (length < imeiMinimumLength || std::isdigit(static_cast<unsigned char>(answer[0])) == 0) continue;
    // The IMEI's own line; an "OK" may follow in the same frame.
    size_t line = std::strcspn(answer, "\r\n");
    LOGI("Got IMEI: %s", ModemText::printable(answer, line).c_str());
    setImei(std::strtoull(answer, nullptr, 10));
    found = true;
  }
  if (!found && !stopRequested()) LOGW("No IMEI, restarting modem");
  return found;
}

void Sim800::beginService() {
  sendAt("\r\nAT+BTHOST=QTR-90;\r\n");
  sendAt("\r\nAT+BTPAIRCFG=1,2958\r\n");
  sendAt("\r\nAT+BTPOWER=1\r\n");
  dialTime = now();
  lastPoll = dialTime;
}

void Sim800::servicePass() {
  bool relaying = ppp && ppp->pid > 0 && mux.signals().ready2;
  // pppd's terminal is watched only while the modem takes data: unread
  // output would wake every pass.
  Readiness readiness = environment.waitForInput(environment.port->fd(), relaying ? ppp->master : -1,
                                                 mux.hasPendingInput() ? 0 : loopWaitMilliseconds);
  reapPpp();
  // An ended pppd is hung up even when the link is asked for again meanwhile:
  // the next dial needs the modem back in command mode.
  if (ppp && (!wantPpp.load() || ppp->pid <= 0)) hangUp();
  if (!ppp && wantPpp.load() && now() - dialTime >= dialPeriodSeconds) dial();
  if (now() - lastPoll >= pollPeriodSeconds) pollSignal();
  ByteBuffer text = mux.readAtText();
  if (text.size() > 2) handleAtText(text);
  if (ppp && ppp->pid > 0 && mux.signals().ready2) relayFromPpp();
  // A line whose other side is gone reads nothing and never blocks.
  if (readiness.portHangUp && text.empty() && !mux.hasPendingInput()) sleepFor(loopWaitMilliseconds);
}

void Sim800::hangUp() {
  LOGI("Hanging up...");
  sleepFor(1000);
  mux.sendFrame(dataChannel, "+++", 3);
  sleepFor(1000);
  mux.sendFrame(dataChannel, "\r\nATH0\r\n", 8);
  stopPpp();
}

void Sim800::dial() {
  LOGI("Trying to dialup...");
  std::string context = std::string("\r\nAT+CGDCONT=1,\"IP\",\"") + accessPointName + "\"\r\n";
  mux.sendFrame(dataChannel, context.data(), context.size());
  static const char dialCommand[] = "\r\nATD*99***1#\r\n";
  mux.sendFrame(dataChannel, dialCommand, sizeof dialCommand - 1);
  dialTime = now();
}

void Sim800::pollSignal() {
  if (unansweredPolls >= unansweredPollLimit && !silenceReported) {
    LOGW("Modem not responding");
    silenceReported = true;
    if (rssi != noSignal) setRssi(noSignal);
  }
  sendAt("AT+CSQ\r\n");
  sendAt("AT+BTSTATUS?\r\n");
  ++unansweredPolls;
  lastPoll = now();
}

void Sim800::handleAtText(const ByteBuffer& text) {
  std::string_view answer(text.text(), std::strlen(text.text()));
  size_t bluetooth = answer.find("+BT");
  if (bluetooth != std::string_view::npos) {
    std::optional<std::string> command = handleBt(bt, answer.data() + bluetooth, answer.size() - bluetooth);
    if (command) mux.sendFrame(atChannel, command->data(), command->size());
    return;
  }
  size_t signal = answer.find("+CSQ");
  if (signal == std::string_view::npos || answer.size() - signal < 7) return;
  // "+CSQ: 20,0": 20 -> -73 dBm; 99 is "not known".
  int value = std::atoi(answer.data() + signal + 6);
  if (value != noSignal) value = 2 * value - 113;
  unansweredPolls = 0;
  silenceReported = false;
  if (value != rssi) setRssi(value);
}

void Sim800::handleDataCall(const uint8_t* bytes, size_t length) {
  if (ppp) {
    // The modem's PPP data for pppd. A full terminal is waited for a
    // moment; what it still cannot take is dropped, as on a line without
    // flow control (PPP's own retransmissions repair it).
    while (length > 0) {
      ssize_t written = ::write(ppp->master, bytes, length);
      if (written < 0 && errno == EINTR) continue;
      if (written > 0) {
        bytes += written;
        length -= static_cast<size_t>(written);
        continue;
      }
      pollfd room{ppp->master, POLLOUT, 0};
      if (written < 0 && errno == EAGAIN && poll(&room, 1, terminalWaitMilliseconds) > 0 &&
          (room.revents & POLLOUT) != 0) {
        continue;
      }
      LOGW("pppd's terminal takes nothing: %zu bytes dropped", length);
      return;
    }
    return;
  }
  std::string_view text(reinterpret_cast<const char*>(bytes), length);
  if (text.find("CONNECT") != std::string_view::npos) {
    LOGI("Creating new PPPD process");
    startPpp();
    return;
  }
  std::string shown = ModemText::printable(text.data(), text.size());
  if (!shown.empty()) LOGI("Data call: %s", shown.c_str());
}

void Sim800::startPpp() {
  Platform::TerminalProgram started = environment.ppp.start();
  if (started.pid <= 0) {
    LOGW("pppd could not be started");
    return;
  }
  ppp = PppProcess{started.pid, started.master};
  pppRunning.store(true);
}

void Sim800::reapPpp() {
  if (!ppp || ppp->pid <= 0) return;
  int status = 0;
  if (!environment.ppp.ended(ppp->pid, &status)) return;
  ppp->pid = -1;
  LOGW("pppd ended (status %d)", status);
  pppEnded();
}

void Sim800::pppEnded() {
  pppRunning.store(false);
  // The data call is lost: the next pass hangs up.
  wantPpp.store(false);
}

void Sim800::relayFromPpp() {
  uint8_t block[512];
  for (int reads = 0; reads < relayReadsPerPass; ++reads) {
    ssize_t got = ::read(ppp->master, block, sizeof block);
    if (got > 0) {
      mux.sendFrame(dataChannel, block, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // End of the terminal (EIO once pppd closed its side): the call is over.
    LOGW("pppd closed its terminal");
    environment.ppp.kill(ppp->pid);
    ppp->pid = -1;
    pppEnded();
    return;
  }
}

void Sim800::stopPpp() {
  if (ppp->master >= 0) ::close(ppp->master);
  if (ppp->pid > 0) environment.ppp.kill(ppp->pid);
  ppp.reset();
  pppRunning.store(false);
}

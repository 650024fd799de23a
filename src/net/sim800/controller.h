#pragma once
// The SIM800 GSM/Bluetooth modem on serial line 3: powers it up, switches
// the line into the TS 27.010 multiplexer (cmux.h), reads the IMEI, sets up
// the Bluetooth serial-port service (bt.h), publishes the signal strength as
// "gsm_status" and, while the network worker wants the GPRS uplink, dials a
// data call and runs pppd on a pseudo-terminal whose master side is relayed
// to multiplexer channel 2.
//
// Start-up, repeated until the modem gives its IMEI: power off and on
// (/run/gpio/on_gsm), "ATE0Q0+IPR=460800;" at 115200 baud, then 460800 baud;
// "AT+CMUX=0" and the four channels opened; "AT+GSN". Then the Bluetooth
// name, pairing PIN and power.
//
// Service loop (woken by the line, pppd's terminal or a 1 s time-out):
// - PPP not wanted and pppd running: "Hanging up...", "+++", "ATH0", pppd
//   killed and reaped;
// - PPP wanted, no pppd: "Trying to dialup..." every 30 s, the PDP context
//   and "ATD*99***1#" on channel 2; the "CONNECT" answer starts pppd (one at
//   a time), later channel 2 payloads go to its terminal;
// - every 10 s "AT+CSQ" and "AT+BTSTATUS?"; "+CSQ: n" sets rssi = 2n - 113
//   dBm (99: no reading); three polls in a row without an answer set 99;
// - pppd's output is sent on channel 2 while the modem reports the channel
//   ready to receive; pppd's end clears the PPP request, which hangs up.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/ByteBuffer.h"
#include "core/Thread.h"
#include "net/sim800/bt.h"
#include "net/sim800/cmux.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialPort.h"
#include "registry/Catalogue.h"

class Sim800 : public Thread {
 public:
  // The GPRS access point of the mobile operator, used in every dial.
  static constexpr const char* accessPointName = "internet";
  static constexpr int64_t pollPeriodSeconds = 10;
  static constexpr int64_t dialPeriodSeconds = 30;
  // Signal polls in a row without a "+CSQ" answer before the reading is void.
  static constexpr int unansweredPollLimit = 3;
  static constexpr int loopWaitMilliseconds = 1000;
  // pppd's output relayed per pass, in reads of 512 bytes.
  static constexpr int relayReadsPerPass = 16;
  static constexpr int noSignal = 99;

  // What the wait of a pass saw.
  struct Readiness {
    bool port = false;        // the line has input
    bool master = false;      // pppd's terminal has output
    bool portHangUp = false;  // the line's other side is gone: pace the loop
  };

  struct PppControl {
    // Starts pppd on a new pseudo-terminal.
    std::function<Platform::TerminalProgram()> start;
    // Reaps pppd when it has ended (wait status in *status); false while it runs.
    std::function<bool(pid_t pid, int* status)> ended;
    // Kills pppd and reaps it.
    std::function<void(pid_t pid)> kill;
  };

  struct Environment {
    RegistryRoot* tree = nullptr;
    Catalogue::GsmStatus* status = nullptr;
    std::unique_ptr<Platform::SerialPort> port;
    // The modem's power switch.
    std::function<void(bool on)> setPower;
    // Whole seconds of the coarse monotonic clock.
    std::function<int64_t()> seconds;
    // Empty: the worker's sleep, cut short by a stop.
    std::function<void(int milliseconds)> sleep;
    // Waits up to the time for input on the line or on pppd's terminal (-1:
    // none). Empty: poll() with the worker's stop descriptor.
    std::function<Readiness(int portFd, int masterFd, int milliseconds)> waitForInput;
    PppControl ppp;

    // Line 3, "on_gsm", the coarse clock and /usr/sbin/pppd.
    static Environment process();
  };

  // The process-wide modem controller, created on first call, never destroyed.
  static Sim800* instance();

  explicit Sim800(Environment environment = Environment::process());
  ~Sim800() override;

  // The GPRS uplink is wanted: set by the network worker (MQTT thread),
  // cleared here when pppd ends.
  std::atomic<bool> wantPpp{false};
  // pppd runs: started and not yet reaped. Any thread.
  bool pppUp() const { return pppRunning.load(); }

  // The thread body's pieces, public so tests drive them with their clock.
  //
  // Modem power; on: power on, line speed to 460800 baud.
  void powerCycle(bool on);
  // One start-up round; true once the IMEI is read.
  bool startUp();
  // The Bluetooth set-up after start-up; the dial clock starts.
  void beginService();
  // One pass of the service loop.
  void servicePass();

  const Cmux::ReadySignals& readySignals() const { return mux.signals(); }
  const BtState& btState() const { return bt; }
  bool hasPppProcess() const { return ppp.has_value(); }
  int currentRssi() const { return rssi; }

 protected:
  void run() override;

 private:
  struct PppProcess {
    pid_t pid = -1;   // -1 once reaped
    int master = -1;
  };

  void sleepFor(int milliseconds) { environment.sleep(milliseconds); }
  int64_t now() const { return environment.seconds(); }
  void sendAt(const char* text);
  void setRssi(int value);
  void setImei(unsigned long long value);
  void hangUp();
  void dial();
  void pollSignal();
  void handleAtText(const ByteBuffer& text);
  void handleDataCall(const uint8_t* bytes, size_t length);
  void startPpp();
  void reapPpp();
  void relayFromPpp();
  void pppEnded();
  void stopPpp();

  Environment environment;
  Cmux::Multiplexer mux;
  BtState bt;
  std::optional<PppProcess> ppp;
  std::atomic<bool> pppRunning{false};
  // Published "gsm_status" values, as last committed (this thread only).
  int rssi = 0;
  int64_t lastPoll = 0;
  int64_t dialTime = 0;
  int unansweredPolls = 0;
  bool silenceReported = false;
};

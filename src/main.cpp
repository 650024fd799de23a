// fieldhub start-up: common workers, then either the application workers or
// factory-test mode, a short LED greeting, and a wait for SIGTERM/SIGINT.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "can/krel/KrelThread.h"
#include "can/krel/PollThread.h"
#include "can/svThread.h"
#include "can/volmar/Can.h"
#include "core/Event.h"
#include "core/Gpio.h"
#include "core/Log.h"
#include "core/Thread.h"
#include "core/Watchdog.h"
#include "mqtt/Logic.h"
#include "net/Network.h"
#include "net/PollMaster.h"
#include "net/ServiceEndpoints.h"
#include "net/sim800/controller.h"
#include "platform/Platform.h"
#include "registry/Factory.h"
#include "registry/SystemInfo.h"
#include "rs485/RS485.h"
#include "rs485/RSPollUnit.h"
#include "tinmoss/MDNS.h"
#include "tinmoss/PowerMonitor.h"
#include "tinmoss/RTC.h"
#include "tinmoss/RootManager.h"

namespace {

const char* const appVersion = "2023.2.7";

using WorkerAccessor = Thread* (*)();

// The device services: global objects, built before main and started first.
Watchdog watchdog;
MDNS mdns;
PowerMonitorClass powerMonitor;
RootManager rootManager;

// Workers of both normal and factory-test mode, in start order.
std::vector<WorkerAccessor> commonWorkers() {
  return {
      []() -> Thread* { return &watchdog; },
      []() -> Thread* { return &mdns; },
      []() -> Thread* { return &powerMonitor; },
      []() -> Thread* { return &rootManager; },
      []() -> Thread* { return WSConnectionManager::instance(); },
      []() -> Thread* { return Network::instance(); },
      []() -> Thread* { return Sim800::instance(); },
  };
}

// Application workers of a commissioned board, in creation and start order.
std::vector<WorkerAccessor> applicationWorkers() {
  return {
      []() -> Thread* { return KREL::KrelThread::instance(); },
      []() -> Thread* { return svThread::instance(); },
      []() -> Thread* { return VolmarCan::instance(); },
      []() -> Thread* { return RS485::Core::instance(); },
      []() -> Thread* { return RS485::IOProcessor::instance(); },
      []() -> Thread* { return Mqtt::Mqtt::instance(); },
  };
}

bool boardIsCommissioned() { return Factory::isCommissioned(); }

// The links between layers that only main may know of: the registry and the
// panel layer are told what to call, and never reach the network worker, the
// RTC or the cloud link themselves.
void connectLayers() {
  System::setClockSaver(RTC::saveFromSystem);
  KREL::KrelThread::setAliveNodesListener([] { Mqtt::Mqtt::instance()->statusDirty.store(true); });
  KREL::PollThread::setGenerationSource([] { return Mqtt::Mqtt::instance()->activeGeneration(); });
  // Runs the MAC set-up the factory identity asked for while it was loaded.
  Factory::installMacSetup({[](const char* mac1, const char* mac2, bool apply) {
                              Network::instance()->setMacs(mac1, mac2, apply);
                            },
                            [](bool apply) { Network::instance()->randomMacs(apply); }});
  // "fw_update" and "reset" of the local API.
  ServiceEndpoints::attach();
}

[[noreturn]] void runFactoryTestMode() {
  for (;;) msleep(1000);
}

void greetWithLeds() {
  GpioControl leds[] = {GpioControl("yellow"), GpioControl("red"), GpioControl("blue")};
  for (int pass = 0; pass < 3; ++pass) {
    for (const GpioControl& led : leds) {
      led.on();
      msleep(10);
      led.off();
      msleep(30);
    }
    msleep(40);
  }
}

void createAndStart(const std::vector<WorkerAccessor>& workers) {
  std::vector<Thread*> created;
  for (WorkerAccessor accessor : workers) created.push_back(accessor());
  for (Thread* worker : created) worker->start();
}

int runMain() {
  setbuf(stdout, nullptr);
  Platform::simulationMode();  // a bad FIELDHUB_ROOT ends the process here at the latest
  RTC::readToSystem();
  LOGI("App started!");
  LOGI("App version: %s", appVersion);

  // A parent that ignored SIGINT (a shell's background job) would make the
  // signal vanish instead of reaching the descriptor.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int signalFd = signalfd(-1, &signals, 0);
  if (signalFd < 0) {
    LOGI("signalfd error");
    return -1;
  }

  connectLayers();
  createAndStart(commonWorkers());
  if (!boardIsCommissioned()) {
    LOGW("No FabSettings detected. Entering factory test mode");
    // Factory-test mode never ends; it runs in its own thread so that SIGTERM
    // and SIGINT still reach the signal loop below.
    std::thread(runFactoryTestMode).detach();
  } else {
    createAndStart(applicationWorkers());
    // Only a running application signals a supply alarm on the LED.
    powerMonitor.applicationRunning.store(1);
    greetWithLeds();
  }

  for (;;) {
    signalfd_siginfo record{};
    ssize_t got = read(signalFd, &record, sizeof record);
    if (got < static_cast<ssize_t>(sizeof record)) {
      LOGI("signalfd read error");
      close(signalFd);
      return 0;
    }
    if (record.ssi_signo == SIGINT || record.ssi_signo == SIGTERM) {
      LOGI("Received signal %d: Exiting", static_cast<int>(record.ssi_signo));
      close(signalFd);
      return 0;
    }
  }
}

}  // namespace

int main() {
  int status = runMain();
  // Workers are still running and are never stopped: end the process without
  // destroying the objects they use.
  std::fflush(stdout);
  _exit(status);
}

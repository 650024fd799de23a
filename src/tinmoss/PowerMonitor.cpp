#include "tinmoss/PowerMonitor.h"

#include <cmath>
#include <mutex>

#include "core/Adc.h"
#include "core/Gpio.h"
#include "platform/Clock.h"

PowerMonitorClass::Environment PowerMonitorClass::Environment::process() {
  Environment environment;
  environment.tree = &RegistryRoot::global();
  environment.limits = &Catalogue::powerLimits();
  environment.status = &Catalogue::powerStatus();
  environment.milliseconds = Platform::monotonicCoarseMilliseconds;
  environment.readRaw = [](const char* channel) { return readAdcRaw(channel); };
  return environment;
}

float PowerMonitorClass::volts(int raw) { return static_cast<float>(raw * 3.22 * 109 / 9 / 4096); }

PowerMonitorClass::PowerMonitorClass(Environment monitorEnvironment) : environment(std::move(monitorEnvironment)) {}

PowerMonitorClass::~PowerMonitorClass() { stop(); }

void PowerMonitorClass::run() {
  alive.store(1);
  beginCycle();
  while (keepRunning.load() != 0) {
    measure();
    if (pause([this](int milliseconds) { return waitForStop(milliseconds); })) break;
  }
}

void PowerMonitorClass::beginCycle() {
  std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
  cycleMain = environment.status->main.value;
  cycleBackup = environment.status->backup.value;
  cycleNeedBoth = environment.limits->needBoth.value;
}

// A limit outside 20..30 V (or one that is no number at all) is moved back
// into the range, in the entry itself and without saving it.
float PowerMonitorClass::clampedLimit(Entry<float>& limit) {
  if (!(limit.value >= lowestLimit)) limit.value = lowestLimit;
  if (limit.value > highestLimit) limit.value = highestLimit;
  return limit.value;
}

bool PowerMonitorClass::measure() {
  float mainMin, mainMax, backupMin, backupMax;
  bool needBoth;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    mainMin = clampedLimit(environment.limits->main.min);
    mainMax = clampedLimit(environment.limits->main.max);
    backupMin = clampedLimit(environment.limits->backup.min);
    backupMax = clampedLimit(environment.limits->backup.max);
    needBoth = environment.limits->needBoth.value;
  }
  float main = volts(environment.readRaw(mainChannel));
  float backup = volts(environment.readRaw(backupChannel));
  bool mainOut = main < mainMin || main > mainMax;
  bool backupOut = backup < backupMin || backup > backupMax;

  int64_t now = environment.milliseconds();
  if (!publicationClockStarted) {
    publicationClockStarted = true;
    lastPublication = now;
  }
  bool due = now - lastPublication >= publishPeriodMilliseconds ||
             std::fabs(main - cycleMain) + std::fabs(backup - cycleBackup) > publishChange ||
             mainOut != previousMainOut || backupOut != previousBackupOut || needBoth != cycleNeedBoth;
  if (!due) return false;

  lastPublication = now;
  bool alarm = needBoth ? (mainOut || backupOut) : (mainOut && backupOut);
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    environment.status->alarm.value = alarm;
    environment.status->main.value = main;
    environment.status->backup.value = backup;
    environment.tree->commit(environment.status->alarm);
  }
  previousMainOut = mainOut;
  previousBackupOut = backupOut;
  beginCycle();
  return true;
}

bool PowerMonitorClass::pause(const std::function<bool(int milliseconds)>& sleep) {
  bool alarm;
  {
    std::lock_guard<std::recursive_mutex> lock(environment.tree->mutex());
    alarm = environment.status->alarm.value;
  }
  int64_t now = environment.milliseconds();
  if (!burstClockStarted) {
    burstClockStarted = true;
    lastBurst = now;
  }
  if (applicationRunning.load() == 0 || !alarm || now - lastBurst <= burstPeriodMilliseconds) {
    return sleep(measurePauseMilliseconds);
  }
  lastBurst = now;
  // Three flashes in about a second; opened for the burst only, so a control
  // that appears later is still found.
  GpioControl led(environment.led);
  for (bool on : {false, true, false, true, false, true, false}) {
    led.set(on);
    if (sleep(burstStepMilliseconds)) {
      led.off();
      return true;
    }
  }
  return false;
}

#pragma once
// Watches the main and the backup supply: measures both voltages on the ADC
// about once a second, judges them against "power_limits", publishes
// "power_status" ({"main":24.00,"backup":0.00,"alarm":true}) and, once the
// application runs, flashes the yellow LED three times every 10 s or so while
// the alarm stands.
//
// A measurement is published when 120 s have passed since the last one, when
// the two voltages moved by more than 0.5 V together, when either supply went
// into or out of its range, or when need_both changed. The alarm is raised by
// either supply out of range with need_both, by both out of range without.
// Each limit is held within 20..30 V: a limit set outside is moved back
// to the nearest end, in the entry itself.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/Thread.h"
#include "registry/Catalogue.h"

class PowerMonitorClass : public Thread {
 public:
  static constexpr const char* mainChannel = "in_voltage4_raw";
  static constexpr const char* backupChannel = "in_voltage6_raw";
  static constexpr float lowestLimit = 20.0f;
  static constexpr float highestLimit = 30.0f;
  static constexpr float publishChange = 0.5f;
  static constexpr int64_t publishPeriodMilliseconds = 120000;
  static constexpr int64_t burstPeriodMilliseconds = 10000;
  static constexpr int measurePauseMilliseconds = 1000;
  static constexpr int burstStepMilliseconds = 150;

  struct Environment {
    RegistryRoot* tree = nullptr;
    Catalogue::PowerLimits* limits = nullptr;
    Catalogue::PowerStatus* status = nullptr;
    // Monotonic milliseconds.
    std::function<int64_t()> milliseconds;
    // The raw reading of an ADC channel file (mainChannel, backupChannel).
    std::function<int(const char* channel)> readRaw;
    // The LED control that flashes the alarm, opened for each burst.
    std::string led = "yellow";

    // The process-wide "power_limits" and "power_status", readAdcRaw and the
    // coarse monotonic clock.
    static Environment process();
  };

  // volts = raw * 3.22 * 109 / 9 / 4096: 2521 -> 24.00, 2000 -> 19.04.
  static float volts(int raw);

  explicit PowerMonitorClass(Environment environment = Environment::process());
  ~PowerMonitorClass() override;

  // Set once the application workers run (never in factory-test mode): only
  // then does the alarm flash the LED.
  std::atomic<uint8_t> applicationRunning{0};

  // The loop's steps, public for tests that drive them with their own clock.
  // One measurement; true when it was published.
  bool measure();
  // The pause after a measurement: an LED burst (seven writes 150 ms apart)
  // when it is due, else a second. `sleep` waits and returns true when the
  // worker must stop.
  bool pause(const std::function<bool(int milliseconds)>& sleep);

 protected:
  void run() override;

 private:
  void beginCycle();
  float clampedLimit(Entry<float>& limit);

  Environment environment;
  // The published values and need_both when the current cycle began.
  float cycleMain = 0;
  float cycleBackup = 0;
  bool cycleNeedBoth = true;
  bool previousMainOut = false;
  bool previousBackupOut = false;
  // Both clocks start when first looked at.
  bool publicationClockStarted = false;
  int64_t lastPublication = 0;
  bool burstClockStarted = false;
  int64_t lastBurst = 0;
};

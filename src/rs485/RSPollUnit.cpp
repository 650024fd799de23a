#include "rs485/RSPollUnit.h"

#include <poll.h>
#include <unistd.h>

#include <exception>
#include <memory>
#include <mutex>

#include "core/Event.h"
#include "core/Log.h"
#include "meterdata/MeterDataHandlers.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "registry/Catalogue.h"
#include "rs485/Commands.h"
#include "rs485/Drivers.h"
#include "rs485/RS485.h"

namespace RS485 {
namespace {

CoreLinks withDefaults(CoreLinks links) {
  if (!links.nowSeconds) links.nowSeconds = Platform::monotonicCoarseSeconds;
  if (!links.pollEnabled) {
    links.pollEnabled = [] {
      std::lock_guard<std::recursive_mutex> lock(registryMutex());
      return Catalogue::rs485().poll.value;
    };
  }
  if (!links.pollInterval) {
    links.pollInterval = [] {
      std::lock_guard<std::recursive_mutex> lock(registryMutex());
      return Catalogue::rs485().pollInterval.value;
    };
  }
  if (!links.publishDeviceCount) {
    links.publishDeviceCount = [](int devices) {
      std::lock_guard<std::recursive_mutex> lock(registryMutex());
      Catalogue::rs485Status().devices.value = devices;
      commit(Catalogue::rs485Status().devices);
    };
  }
  if (!links.poll) links.poll = [](const DeviceRecord& record) { pollDevice(record, *IOProcessor::instance()); };
  if (links.storeDirectory.empty()) links.storeDirectory = Platform::path("/data/xdev");
  if (links.settingsTree == nullptr) links.settingsTree = &RegistryRoot::global();
  if (!links.sleep) links.sleep = msleep;
  return links;
}

}  // namespace

void pollDevice(const DeviceRecord& record, LineTransport& transport) {
  LOGI("Starting Poll");
  LOGI("Device: %s", driverName(record.driver));
  LOGI("Serial: %llu", static_cast<unsigned long long>(record.serial));
  try {
    std::unique_ptr<DeviceCore> driver = makeDriver(record, transport);
    for (uint8_t step = 0; driver && step < driver->steps; ++step) {
      std::unique_ptr<RSMeterData> result = driver->poll(step);
      if (result) MeterDataHandlers::dispatch(*result);
    }
  } catch (const std::exception& failure) {
    LOGW("Poll of serial %llu failed: %s", static_cast<unsigned long long>(record.serial), failure.what());
  }
  LOGD("Finished Poll!");
}

Core* Core::instance() {
  static Core* const made = [] {
    auto* core = new Core();
    Catalogue::rs485Device().setHandler(
        [core](const char* value, const Origin& origin) { handleDeviceCommand(value, origin, *core); });
    return core;
  }();
  return made;
}

Core::Core(CoreLinks coreLinks)
    : links(withDefaults(std::move(coreLinks))),
      deviceStore(links.storeDirectory),
      settingsApplied({{"rs485"}}, *links.settingsTree) {}

Core::~Core() {
  // A poll in progress ends with its exchanges' time-outs before the join.
  stop();
  commands.consumeAll([](Cmd* command) { delete command; });
}

bool Core::pushCommand(Cmd* command) {
  std::lock_guard<std::mutex> lock(pushing);
  if (commands.size() >= commandCapacity) {
    LOGW("RS485 command queue full");
    delete command;
    return false;
  }
  commands.push(command);
  return true;
}

void Core::rescan() {
  slotSpacing = initialSpacing;
  lastSlotTime = links.nowSeconds();
  deviceStore.makeDirectory();
  deviceStore.resetIteration();
  int32_t found = 0;
  while (deviceStore.nextDevice() != 0) {
    if (lastSlotTime + countingSeconds < links.nowSeconds()) break;
    ++found;
  }
  deviceStore.resetIteration();
  if (found > 0) {
    int32_t spacing = links.pollInterval() / (found + 1);
    // A poll interval of 0 or below: a slot at every new second, never faster.
    slotSpacing = spacing > longestSpacing ? longestSpacing : spacing < 0 ? 0 : spacing;
  } else {
    slotSpacing = longestSpacing;
  }
  changed.store(false);
  if (found != count) {
    count = found;
    links.publishDeviceCount(count);
  }
}

void Core::step() {
  commands.consumeAll([this](Cmd* command) {
    command->execute(*this);
    delete command;
  });
  while (settingsApplied.wait(0)) changed.store(true);
  if (changed.load()) rescan();

  int64_t now = links.nowSeconds();
  if (!links.pollEnabled() || count <= 0 || now <= lastSlotTime + slotSpacing) return;
  lastSlotTime = now;
  DeviceRecord record;
  if (deviceStore.nextDevice(&record) != 0) {
    links.poll(record);
  } else {
    deviceStore.resetIteration();
  }
}

void Core::run() {
  rescan();
  LOGI("Found %d serial devices", static_cast<int>(count));
  alive.store(1);
  while (keepRunning.load() != 0) {
    pollfd waitFor[2] = {{commands.fd(), POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
    poll(waitFor, 2, waitMilliseconds);
    if (keepRunning.load() == 0) break;
    try {
      step();
    } catch (const std::exception& failure) {
      LOGW("Poll step failed: %s", failure.what());
    }
  }
}

}  // namespace RS485

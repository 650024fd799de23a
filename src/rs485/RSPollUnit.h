#pragma once
// The RS485 poll thread. It walks the device store at an even pace, one
// device per time slot: with N devices and a poll interval of I seconds a slot
// lasts I / (N + 1) seconds and every device is read once per N + 1 slots
// (the last slot of a round stays empty and restarts the walk). A slot ends
// at the first wake-up (at least every 1100 ms) after the clock has moved
// strictly past its end. Each device's driver reads the meter through the I/O
// thread and every record goes to the meter record handlers.
//
// The same thread runs the device commands of the local API (Commands.h)
// between slots, so polling and configuration never overlap; a command that
// arrives during a poll waits for it, and at most 5 commands wait. A write
// or delete (changed flag) and an applied "rs485" settings object make the
// loop count the store again at its next wake-up: new device count, new
// spacing, walk from the start, "rs485_status"/"devices" updated when the
// count changed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/SyncRing.h"
#include "core/Thread.h"
#include "registry/Waiter.h"
#include "rs485/DeviceRecord.h"
#include "rs485/FileIO.h"
#include "rs485/LineTransport.h"

namespace RS485 {

class Cmd;

// Reads one device: logs the poll, builds the record's driver (none for an
// index without a class), runs its steps and dispatches each record.
void pollDevice(const DeviceRecord& record, LineTransport& transport);

// What the thread reads and tells; empty members get the firmware's: the
// coarse monotonic clock, the "rs485" settings of the process-wide tree, the
// "rs485_status" entry, pollDevice through the I/O thread, and /data/xdev.
struct CoreLinks {
  std::function<int64_t()> nowSeconds;
  std::function<bool()> pollEnabled;
  std::function<int()> pollInterval;
  std::function<void(int count)> publishDeviceCount;
  std::function<void(const DeviceRecord& record)> poll;
  std::string storeDirectory;
  // The tree whose applied "rs485" objects are watched.
  RegistryRoot* settingsTree = nullptr;
  // How a command waits for room in its client's queue.
  std::function<void(int milliseconds)> sleep;
};

class Core : public Thread {
 public:
  static constexpr uint32_t commandCapacity = 5;
  static constexpr int waitMilliseconds = 1100;
  static constexpr int32_t initialSpacing = 120;
  static constexpr int32_t longestSpacing = 65535;
  // Counting the store stops after this many seconds.
  static constexpr int32_t countingSeconds = 120;

  // The process-wide thread, made on first use (never destroyed); it takes
  // the commands of the "rs485_device" endpoint.
  static Core* instance();

  explicit Core(CoreLinks links = {});
  // Stops the loop and waits for it (a bounded wait), so a test's instance can go.
  ~Core() override;

  // Any thread: queues a command (taking it over), or destroys it when 5 are
  // waiting.
  bool pushCommand(Cmd* command);
  // The write and delete commands: count the store again before the next slot.
  void markChanged() { changed.store(true); }
  DeviceStore& store() { return deviceStore; }
  // Reads one device now (the test command).
  void pollNow(const DeviceRecord& record) { links.poll(record); }
  // A command waiting for room in its client's queue.
  void pause(int milliseconds) { links.sleep(milliseconds); }

  // The loop's parts, run by the thread; tests call them directly.
  // Counts the store and sets the spacing, the device count and the slot start.
  void rescan();
  // After a wake-up: commands, settings changes, then the slot if one is due.
  void step();

  int32_t deviceCount() const { return count; }
  int32_t spacing() const { return slotSpacing; }

 protected:
  void run() override;

 private:
  CoreLinks links;
  DeviceStore deviceStore;
  SyncRing<Cmd*, commandCapacity> commands;
  // Producers test for room and push under it, so no command is refused by
  // the ring itself (and lost).
  std::mutex pushing;
  Waiter settingsApplied;
  std::atomic<bool> changed{false};
  int32_t count = 0;
  int64_t lastSlotTime = 0;
  int32_t slotSpacing = initialSpacing;
};

}  // namespace RS485

#include "can/krel/PollThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <zlib.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "can/krel/KrelThread.h"
#include "can/krel/polls/AlertDevices.h"
#include "can/krel/polls/DeviceInfo.h"
#include "can/krel/polls/DevsUsedInfo.h"
#include "can/krel/polls/HubsInfo.h"
#include "can/krel/polls/PollValues.h"
#include "can/krel/polls/PowerInfo.h"
#include "can/krel/polls/RDI.h"
#include "can/krel/polls/pollNames.h"
#include "core/Log.h"
#include "meterdata/MeterDataHandlers.h"
#include "platform/Clock.h"

namespace KREL {
namespace {

std::atomic<PollThread::GenerationSource> generationSource{nullptr};

// A reset marks the remembered voltages with 255, so readings keep to 0-254
// steps of 0.2 V.
constexpr uint8_t voltageResetMarker = 0xFF;

float voltageSteps(float volts) {
  float steps = volts * 5.0f;
  if (!(steps > 0.0f)) return 0.0f;  // NaN too
  return steps < 254.0f ? steps : 254.0f;
}

// More than one step away from the remembered value, or nothing remembered.
bool voltageMoved(float volts, uint8_t remembered) {
  if (remembered == voltageResetMarker) return true;
  int32_t moved = PollValues::saturatedInt(voltageSteps(volts) - static_cast<float>(remembered));
  return moved < -1 || moved > 1;
}

// The hash of a used-devices bitmap starts with its words, little-endian.
uint32_t usedDevicesCrc(const DevsUsedInfo& used) {
  uint8_t bytes[4 * DevsUsedInfo::maxWords];
  unsigned count = used.wordCount() < DevsUsedInfo::maxWords ? used.wordCount() : DevsUsedInfo::maxWords;
  for (unsigned k = 0; k < count; ++k) {
    for (unsigned i = 0; i < 4; ++i) bytes[4 * k + i] = static_cast<uint8_t>(used.words[k] >> (8 * i));
  }
  return static_cast<uint32_t>(::crc32(0, bytes, 4 * count));
}

}  // namespace

PollEnvironment PollEnvironment::process() {
  PollEnvironment environment;
  environment.store = &digests();
  environment.ioProcessor = [] { return KREL::ioProcessor(); };
  environment.milliseconds = Platform::monotonicMilliseconds;
  environment.publish = MeterDataHandlers::dispatch;
  environment.connectionGeneration = [] {
    PollThread::GenerationSource source = generationSource.load();
    return source != nullptr ? source() : 0;
  };
  environment.aliveNodesChanged = announceAliveNodes;
  return environment;
}

PollThread* PollThread::instance() {
  static PollThread* thread = new PollThread(PollEnvironment::process());
  return thread;
}

void PollThread::setGenerationSource(GenerationSource source) { generationSource.store(source); }

PollThread::PollThread(PollEnvironment pollEnvironment)
    : environment(std::move(pollEnvironment)),
      store(*environment.store),
      answeredFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      lastRefresh(nowSeconds()) {
  if (answeredFd < 0) LOGE("Cannot make the poll answer descriptor: %s", std::strerror(errno));
}

PollThread::~PollThread() {
  stop();
  if (answeredFd >= 0) close(answeredFd);
}

void PollThread::run() {
  LOGI("Started KREL PollThread");
  if (waitForStop(startDelayMilliseconds)) return;
  while (keepRunning.load() != 0) {
    pass();
    if (waitForStop(passPauseMilliseconds)) return;
  }
}

void PollThread::refreshAll() { lastRefresh.store(nowSeconds() - refreshSeconds - 1); }

// ---- one request

void PollThread::onPacket(const IOPacket& packet) {
  if (!waiting.load() || packet.node != polledNode.load()) return;
  std::lock_guard<std::mutex> lock(requestMutex);
  if (record == nullptr || packet.node != record->node()) return;
  for (uint32_t left = registers.mask; left != 0; left &= left - 1) {
    auto entry = static_cast<unsigned>(std::countr_zero(left));
    if (registers.registers[entry] != packet.reg) continue;
    registers.mask &= ~(uint32_t{1} << entry);
    record->storeAnswer(entry, packet);
    break;
  }
  if (registers.mask == 0) {
    waiting.store(false);
    uint64_t one = 1;
    if (answeredFd >= 0 && write(answeredFd, &one, sizeof one) < 0) {
      // A full counter still reads as readable: nothing is lost.
    }
  }
}

uint32_t PollThread::unansweredMask() {
  std::lock_guard<std::mutex> lock(requestMutex);
  return registers.mask;
}

bool PollThread::request(Assembleble& filled) {
  AbstractIOProcessor* io = environment.ioProcessor();
  if (io == nullptr) return false;
  RequestRegisters wanted;
  filled.buildRequest(wanted);
  if (wanted.mask == 0) return true;
  uint64_t stale;
  while (answeredFd >= 0 && read(answeredFd, &stale, sizeof stale) == sizeof stale) {
  }
  {
    std::lock_guard<std::mutex> lock(requestMutex);
    registers = wanted;
    record = &filled;
    polledNode.store(filled.node());
    waiting.store(true);
  }
  bool answered = false;
  for (int attempt = 0; attempt < attempts && !answered && !stopRequested(); ++attempt) {
    sendUnanswered(*io, filled.node());
    int64_t deadline = environment.milliseconds() + answerWaitMilliseconds;
    for (;;) {
      if (unansweredMask() == 0) {
        answered = true;
        break;
      }
      int64_t left = deadline - environment.milliseconds();
      if (left <= 0 || stopRequested()) break;
      waitForAnswers(static_cast<int>(left));
    }
  }
  {
    std::lock_guard<std::mutex> lock(requestMutex);
    answered = registers.mask == 0;
    record = nullptr;
    waiting.store(false);
  }
  if (!answered && !stopRequested()) LOGW("IO timeout");
  return answered;
}

void PollThread::sendUnanswered(AbstractIOProcessor& io, uint16_t node) {
  int sent = 0;
  for (unsigned entry = 0; entry < RequestRegisters::capacity; ++entry) {
    uint32_t mask = unansweredMask();
    if ((mask >> entry & 1u) != 0) {
      IOPacket read;
      read.node = node;
      read.reg = registers.registers[entry];  // written only by this thread
      io.send(read);
      ++sent;
    }
    // The node takes the first half before the rest comes.
    if (entry == 15 && (mask >> 16) != 0 && sent > 0) pauseFor(pauseMillisecondsPerPacket * sent);
  }
}

void PollThread::waitForAnswers(int milliseconds) {
  if (environment.wait) {
    environment.wait(answeredFd, milliseconds);
    return;
  }
  pollfd slots[2] = {{answeredFd, POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
  poll(slots, 2, milliseconds);
}

void PollThread::pauseFor(int milliseconds) {
  if (environment.pause) {
    environment.pause(milliseconds);
  } else {
    waitForStop(milliseconds);
  }
}

// ---- the pass

void PollThread::pass() {
  AbstractIOProcessor* io = environment.ioProcessor();
  if (io == nullptr) return;
  const RegisterMap& map = RegisterMap::of(io->maxNodes());
  for (uint16_t node = 0; node < DigestStore::slotCount; ++node) {
    if (stopRequested()) return;
    DigestSlot& slot = store.slot(node);
    if (slot.checkAliveness() && environment.aliveNodesChanged) environment.aliveNodesChanged();
    if (slot.seenAlive()) pollNode(node, map);
  }
  checkFullRefresh();
}

void PollThread::pollNode(uint16_t node, const RegisterMap& map) {
  for (uint16_t other = 0; other < DigestStore::slotCount; ++other) {
    const DigestSlot& slot = store.slot(other);
    if (slot.alarmKinds() != 0 && slot.alive()) pollAlarms(other, map);
  }
  if (!store.slot(node).configRead.exchange(true)) {
    LOGI("Polling config of USO %d", node);
    readConfiguration(node, map);
  }
  pollHubs(node, map);
  pollPower(node, map);
  pollRadioDevices(node, map);
}

void PollThread::pollAlarms(uint16_t node, const RegisterMap& map) {
  DigestSlot& slot = store.slot(node);
  AlertDevices alert(node, map, slot.alarmKinds());
  if (!request(alert)) return;
  uint8_t* remembered = slot.pollMemory.alarmBitmap;
  for (unsigned device = 0; device < 32 * alert.blockCount(); ++device) {
    bool wasInAlarm = (remembered[device / 8] >> device % 8 & 1) != 0;
    if (!alert.inAlarm(device) && !wasInAlarm) continue;
    RDI radio(node, map, static_cast<uint16_t>(device));
    if (request(radio)) publish(radio);
  }
  for (unsigned block = 0; block < AlertDevices::maxBlocks; ++block) {
    for (unsigned i = 0; i < 4; ++i) remembered[4 * block + i] = static_cast<uint8_t>(alert.blocks[block] >> (8 * i));
  }
}

void PollThread::readConfiguration(uint16_t node, const RegisterMap& map) {
  const std::pair<const char*, const RegisterRange*> lists[] = {
      {"event_names", &map.eventNames}, {"valve_names", &map.valveNames}, {"rf_group_names", &map.rfGroupNames}};
  for (const auto& [name, range] : lists) {
    for (unsigned page = 0; page < BSLReader::pageCount(*range); ++page) {
      BSLReader names(node, name, *range, static_cast<uint16_t>(page));
      if (request(names)) publish(names);
    }
  }
  DeviceInfo info(node, map);
  if (request(info)) publish(info);
  for (uint16_t device = 0; device < 2; ++device) {
    RDI radio(node, map, device);
    if (request(radio)) publish(radio);
  }
}

void PollThread::pollHubs(uint16_t node, const RegisterMap& map) {
  HubsInfo hubs(node, map);
  if (!request(hubs)) return;
  PollMemory& memory = store.slot(node).pollMemory;
  if (hubs.hubs_used == memory.hubsUsed && hubs.hubs_fault == memory.hubsFault) return;
  memory.hubsUsed = hubs.hubs_used;
  memory.hubsFault = hubs.hubs_fault;
  publish(hubs);
}

void PollThread::pollPower(uint16_t node, const RegisterMap& map) {
  PowerInfo power(node, map);
  if (!request(power)) return;
  PollMemory& memory = store.slot(node).pollMemory;
  if (!voltageMoved(power.v_main, memory.mainVoltageSteps) && !voltageMoved(power.v_backup, memory.backupVoltageSteps)) {
    return;
  }
  memory.mainVoltageSteps = PollValues::saturatedByte(voltageSteps(power.v_main));
  memory.backupVoltageSteps = PollValues::saturatedByte(voltageSteps(power.v_backup));
  publish(power);
}

void PollThread::pollRadioDevices(uint16_t node, const RegisterMap& map) {
  PollMemory& memory = store.slot(node).pollMemory;
  for (int sweep = 1; sweep <= 2; ++sweep) {
    DevsUsedInfo used(node, map);
    if (!request(used)) return;
    if (sweep == 2) publish(used);
    uint32_t crc = usedDevicesCrc(used);
    for (unsigned device = 0; device < 32 * used.wordCount(); ++device) {
      if (!used.isUsed(device)) continue;
      RDI radio(node, map, static_cast<uint16_t>(device));
      if (!request(radio)) continue;
      crc = radio.continueCrc(crc);
      auto status = static_cast<uint8_t>(radio.status);
      auto fault = static_cast<uint8_t>(radio.fault);
      if (status != memory.deviceStatus[device] || fault != memory.deviceFault[device]) {
        memory.deviceStatus[device] = status;
        memory.deviceFault[device] = fault;
        publish(radio);
      } else if (sweep == 2) {
        publish(radio);
      }
    }
    bool same = memory.radioCrcValid && memory.radioCrc == crc;
    memory.radioCrc = crc;
    memory.radioCrcValid = true;
    if (sweep == 1 && same) return;
  }
}

void PollThread::checkFullRefresh() {
  int64_t now = nowSeconds();
  int32_t generation = environment.connectionGeneration ? environment.connectionGeneration() : 0;
  if (now <= lastRefresh.load() + refreshSeconds && generation == lastGeneration) return;
  lastRefresh.store(now);
  lastGeneration = generation;
  store.resetAll();
}

// Registers "get_connect_data" before main runs, as every method is.
[[maybe_unused]] const bool processPollThreadMade = (PollThread::instance(), true);

}  // namespace KREL

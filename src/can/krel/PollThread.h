#pragma once
// The register polls of the panel nodes. 7 s after it starts, and then one
// second after each pass, the thread walks over the nodes:
//
//   - aliveness: a node that came or went is announced ("krel_devices_list",
//     the cloud's device status); a dead node starts its digest count again
//     and forgets what its polls published;
//   - for an alive node n: first the alarm poll of every alive node whose
//     fire or zone state is set (its devices in alarm, and those that just
//     left it, are read and published); the configuration once per reset
//     ("Polling config of USO n": the name lists, device information, radio
//     devices 0 and 1); hubs when they changed, power when a voltage moved
//     by more than one 0.2 V step; the radio devices, read completely every
//     pass and published in a second sweep when their hash changed;
//   - a full refresh (every slot reset) when the day is over, the cloud link
//     connected anew, or "get_connect_data" asked for it.
//
// A request asks one node for up to 32 registers; the panel thread hands
// every answer to onPacket(). Entries still unanswered after 200 ms are
// asked again, six times in all; then "IO timeout" and the poll needing the
// record is skipped for this pass. All waits are measured on the monotonic
// clock the environment provides.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "can/krel/DigestSlot.h"
#include "can/krel/GetConnectDataRpc.h"
#include "can/krel/IOPacket.h"
#include "can/krel/IOProcessor.h"
#include "can/krel/polls/Assembleble.h"
#include "can/krel/polls/RegisterMap.h"
#include "core/Thread.h"

namespace KREL {

// What the poll thread reaches outside itself; unit tests pass fakes.
struct PollEnvironment {
  DigestStore* store = nullptr;
  // The layout's I/O processor, null before detection.
  std::function<AbstractIOProcessor*()> ioProcessor;
  // Monotonic milliseconds.
  std::function<int64_t()> milliseconds;
  // Waits until `fd` is readable, at most `milliseconds`. Empty: poll() on
  // it and on the thread's stop descriptor.
  std::function<void(int fd, int milliseconds)> wait;
  // The pause between the halves of a long request. Empty: a stoppable wait.
  std::function<void(int milliseconds)> pause;
  std::function<void(const MeterData&)> publish;
  // The cloud link's connection generation, 0 while disconnected.
  std::function<int32_t()> connectionGeneration;
  // A node came or went.
  std::function<void()> aliveNodesChanged;

  // The process's: the digest store, the panel thread's I/O processor, the
  // record consumers, the source main installed, announceAliveNodes.
  static PollEnvironment process();
};

class PollThread : public Thread, public GetConnectDataRpc {
 public:
  static constexpr int startDelayMilliseconds = 7000;
  static constexpr int passPauseMilliseconds = 1000;
  static constexpr int attempts = 6;
  static constexpr int answerWaitMilliseconds = 200;
  static constexpr int pauseMillisecondsPerPacket = 3;
  static constexpr int64_t refreshSeconds = 86400;

  // The process-wide thread, made during static initialisation (it is also
  // the method "get_connect_data"); the panel thread starts it.
  static PollThread* instance();
  // Where the process-wide thread reads the cloud link's connection
  // generation; main connects it. Until then it reads 0.
  using GenerationSource = int32_t (*)();
  static void setGenerationSource(GenerationSource source);

  explicit PollThread(PollEnvironment environment);
  ~PollThread() override;

  // The panel thread, for every valid packet that is not a digest.
  void onPacket(const IOPacket& packet);
  // Asks the record's node for the record's registers; true once all are
  // answered, false after the sixth unanswered wait (W "IO timeout") or
  // when the thread is stopped.
  bool request(Assembleble& record);
  // One walk over the nodes, then the full-refresh check.
  void pass();

 protected:
  void run() override;
  void refreshAll() override;

 private:
  void pollNode(uint16_t node, const RegisterMap& map);
  void pollAlarms(uint16_t node, const RegisterMap& map);
  void readConfiguration(uint16_t node, const RegisterMap& map);
  void pollHubs(uint16_t node, const RegisterMap& map);
  void pollPower(uint16_t node, const RegisterMap& map);
  void pollRadioDevices(uint16_t node, const RegisterMap& map);
  void checkFullRefresh();

  void sendUnanswered(AbstractIOProcessor& io, uint16_t node);
  uint32_t unansweredMask();
  void waitForAnswers(int milliseconds);
  void pauseFor(int milliseconds);
  void publish(const MeterData& record) { environment.publish(record); }
  int64_t nowSeconds() const { return environment.milliseconds() / 1000; }

  PollEnvironment environment;
  DigestStore& store;

  // The request in progress: registers and record guarded by requestMutex;
  // `waiting` and `polledNode` let onPacket pass over other traffic cheaply.
  std::mutex requestMutex;
  RequestRegisters registers;
  Assembleble* record = nullptr;
  std::atomic<bool> waiting{false};
  std::atomic<uint16_t> polledNode{0};
  int answeredFd = -1;  // counts completions; read to empty

  std::atomic<int64_t> lastRefresh;
  int64_t lastGeneration = -1;
};

}  // namespace KREL

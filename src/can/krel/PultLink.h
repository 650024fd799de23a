#pragma once
// The console link ("pult"): the panel bus tunnelled over UDP, one CAN frame
// record (16 bytes) per datagram, on one port (1374) for the local socket
// and for the peers. Every frame the panel thread receives is sent out
// (forward); every datagram accepted from a peer is put on the krel ports.
//
//   client mode ("is_server" false): the one peer is "target"; datagrams
//     from any other address are dropped.
//   server mode: the peers are the addresses heard from during the last one
//     or two periods of 30 s; a datagram from one peer also goes to the
//     others.
//   "enabled" false: nothing is sent or queued; datagrams are still read
//     and counted.
//
// Datagrams of another size than 16 bytes are dropped without being
// counted. The settings are read again when a client changes the "pult"
// group ("Changing target"), at the latest 2 s later.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "core/Thread.h"
#include "platform/CanFrame.h"
#include "platform/UdpSocket.h"
#include "registry/Catalogue.h"
#include "registry/Waiter.h"

namespace KREL {

class USock : public Thread {
 public:
  static constexpr int64_t rotationSeconds = 30;
  static constexpr int openRetryMilliseconds = 5000;
  static constexpr int idleMilliseconds = 2002;
  static constexpr int closedWaitMilliseconds = 1000;
  static constexpr uint32_t reportEvery = 1000;
  // Datagrams read in one step at most; more are read in the next.
  static constexpr int readBurst = 256;
  // Addresses kept per peer set; later ones are served but not sent to.
  static constexpr size_t maxPeers = 32;

  struct Environment {
    RegistryRoot* tree = nullptr;
    Catalogue::Pult* settings = nullptr;
    uint16_t port = 1374;
    // Queues a frame on every krel port.
    std::function<void(const CanFrame&)> toPorts;
    // Monotonic seconds.
    std::function<int64_t()> seconds;

    // The process's: the "pult" group, Platform::consolePort(), the port
    // supervisor, the coarse monotonic clock.
    static Environment process();
  };

  explicit USock(Environment environment);
  ~USock() override;

  // Every frame of a krel port (panel thread); leaveOut is a peer address
  // (network byte order) not to send to, 0 for none.
  void forward(const CanFrame& frame, uint32_t leaveOut = 0);

  // The loop's steps, public for tests that drive them on their own thread.
  // Opens the socket; false (and a W line) when that failed.
  bool openSocket();
  // Takes "enabled", "is_server" and "target" from the settings.
  void readSettings();
  // Reads what is queued, reports, looks at the settings and the peer sets,
  // then waits up to waitMilliseconds for the next datagram.
  void serve(int waitMilliseconds);

  uint32_t receivedDatagrams() const { return received.load(); }
  uint32_t acceptedDatagrams() const { return accepted.load(); }

 protected:
  void run() override;

 private:
  void readDatagrams();
  void addPeer(uint32_t address);
  void report();

  Environment environment;
  Waiter settingsChanged;
  Platform::UdpSocket socket;

  // Mirrors of the settings, read for every frame.
  std::atomic<bool> enabled{false};
  std::atomic<bool> server{false};
  std::atomic<uint32_t> target{0};  // network byte order; 0: none

  std::mutex peerMutex;
  std::vector<uint32_t> currentPeers;
  std::vector<uint32_t> collectingPeers;
  int64_t lastRotation = 0;

  std::atomic<uint32_t> received{0};
  std::atomic<uint32_t> accepted{0};
  uint32_t nextReport = 0;
};

}  // namespace KREL

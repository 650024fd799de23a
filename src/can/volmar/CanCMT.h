#pragma once
// The CMT transport of the metering radio bus, as the gateway runs it: one
// instance, used only by the metering radio thread.
//
// Receivers (PR) forward each radio packet as one CMT message of up to 256
// bytes in up to 32 extended frames (identifier layout in CmtIdentifier.h):
//
//   byte 0        RSSI of the packet at this PR, signed dBm
//   1 .. n-3      the radio packet
//   n-2, n-1      CRC-16/MODBUS of the packet, least significant byte first
//
// Parts are collected per key (address and sequence) in any order; a message
// is complete when its last part has come and every part before it. Parts
// still incomplete after 50 ms are dropped. PRs also send one-frame service
// reports and serial announcements, handled before reassembly.
//
// The gateway sends messages to one PR the same way; payloads above 4 bytes
// get the CRC appended.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "can/volmar/PRFilter.h"
#include "can/volmar/PRRegistry.h"
#include "platform/CanFrame.h"

class CanCMT {
 public:
  // Monotonic time in milliseconds.
  using Clock = std::function<int64_t()>;
  // Queues one frame for every port of the metering radio network.
  using FrameSink = std::function<void(const CanFrame&)>;

  static constexpr int64_t partTimeoutMilliseconds = 50;
  static constexpr size_t maxMessageLength = 256;
  // Flag bits of every frame the gateway sends: extended format and remote
  // request, as the receivers expect them.
  static constexpr uint32_t sendFlags = 0xC0000000u;

  CanCMT(Clock clock, FrameSink sink);

  // One received frame: a service report, a serial announcement or a part.
  void onFrame(const CanFrame& frame);
  // Decodes the filter entries that are due, then drops expired parts.
  void tick();
  // The first time at which tick() has work (a filter entry to decode or a
  // partial message to drop); -1 when nothing waits.
  int64_t nextDeadline() const;
  // Counts every live PR down by one; logs those that go offline.
  void offlineCheck();
  // Segments a message to one PR and queues its frames. Refuses (false, with
  // a warning) an empty message or one above 256 bytes with its CRC.
  bool sendMessage(uint32_t address, const uint8_t* bytes, size_t length);

  PRRegistry& registry() { return prs; }
  const PRRegistry& registry() const { return prs; }
  const PRFilter& filter() const { return prFilter; }
  size_t partialMessages() const { return partials.size(); }
  // Reads and clears the PR-list-changed flag.
  bool takePRListChanged() { return prs.takeListChanged(); }

 private:
  struct PartialMessage {
    uint32_t key = 0;
    uint16_t length = 0;  // 0 until the last part has come
    uint32_t parts = 0;   // bit i: part i present
    int64_t createdAt = 0;
    uint8_t buffer[maxMessageLength] = {};
  };

  bool handleServiceFrame(const CanFrame& frame, uint32_t address);
  bool handleSerialAnnouncement(const CanFrame& frame, uint32_t address);
  void reassemble(const CanFrame& frame, uint32_t identifier);
  void complete(const PartialMessage& message);
  void expireParts();

  Clock now;
  FrameSink sink;
  PRRegistry prs;
  PRFilter prFilter;
  std::vector<PartialMessage> partials;
  uint8_t sequenceCounter = 0;
};

// The panel thread with a digest store on a clock the test moves and fake
// links: detection and its log lines, routing of decoded packets, the answer
// to node 252, WebSocket requests, the 40-frame queue and our own frames
// heard back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "PanelTestSupport.h"
#include "can/krel/KrelThread.h"
#include "core/Event.h"

namespace {

using KREL::IOPacket;
using KREL::KrelThread;
using PanelTest::eventually;
using PanelTest::frameOf;
using PanelTest::LogLine;
using PanelTest::textOf;

CanFrame digest64(uint32_t node, uint32_t index, uint8_t fill = 0x20) {
  CanFrame frame{CanFrame::extendedFlag | node << 21 | (0xFF0 + index) << 1, 8};
  for (uint8_t& byte : frame.data) byte = static_cast<uint8_t>(fill + index);
  return frame;
}

CanFrame digest250(uint32_t node, uint32_t index, uint8_t fill = 0x20) {
  CanFrame frame{CanFrame::extendedFlag | (0xFFF0 + index) << 13 | node << 5, 8};
  for (uint8_t& byte : frame.data) byte = static_cast<uint8_t>(fill + index);
  return frame;
}

std::string describe(const IOPacket& packet) {
  char text[40];
  std::snprintf(text, sizeof text, "node %u reg %04X len %u", packet.node, packet.reg, packet.length);
  return text;
}

class KrelThreadTest : public ::testing::Test {
 protected:
  CaptureStdout output;
  PanelTest::FakeClock seconds;
  PanelTest::FakeClock milliseconds;
  std::mutex mutex;
  std::vector<std::string> published, sent, forwarded, polled, bridged;
  std::vector<IOPacket> requests;
  int requestFd = makeEventFd();
  KREL::DigestStore store{[this] { return seconds(); },
                          [this](const MeterData& record) { record_(published, record.toJson()); }};
  std::unique_ptr<KrelThread> thread;
  uint64_t pushed = 0;

  ~KrelThreadTest() override {
    thread.reset();
    close(requestFd);
  }

  void record_(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(text);
  }
  std::vector<std::string> copy(const std::vector<std::string>& list) {
    std::lock_guard<std::mutex> lock(mutex);
    return list;
  }

  void make() {
    KREL::KrelLinks links;
    links.forward = [this](const CanFrame& frame) { record_(forwarded, textOf(frame)); };
    links.pollPacket = [this](const IOPacket& packet) { record_(polled, describe(packet)); };
    links.bridgePacket = [this](const IOPacket& packet) { record_(bridged, describe(packet)); };
    links.requestFd = requestFd;
    links.takeRequests = [this](std::vector<IOPacket>& packets) {
      takeEvent(requestFd);
      std::lock_guard<std::mutex> lock(mutex);
      packets.swap(requests);
    };
    thread = std::make_unique<KrelThread>(
        store, [this](const CanFrame& frame) { record_(sent, textOf(frame) + "/" + std::to_string(frame.length)); },
        std::move(links), [this] { return milliseconds(); });
  }
  void start() {
    make();
    thread->start();
  }
  void push(const CanFrame& frame) {
    ASSERT_TRUE(eventually([&] { return thread->queuedFrames() < KrelThread::queueCapacity; }));
    thread->pushFrame(frame);
    ++pushed;
  }
  // Returns once the loop has finished with every frame pushed so far.
  void settle() { ASSERT_TRUE(eventually([&] { return thread->handledFrames() == pushed; })); }
  std::vector<LogLine> lines(const std::string& part) { return PanelTest::linesWith(output.text(), part); }
};

TEST_F(KrelThreadTest, DetectsA64NodeInstallationThenRoutesItsPackets) {
  start();
  for (uint32_t i = 0; i < 10; ++i) push(digest64(5, i % 9));
  settle();
  ASSERT_NE(thread->ioProcessor(), nullptr);
  EXPECT_EQ(thread->ioProcessor()->maxNodes(), 64);
  EXPECT_EQ(lines("Listen digests"), (std::vector<LogLine>{{'I', "KrelThread.cpp", "Listen digests"}}));
  EXPECT_EQ(lines("USO"), (std::vector<LogLine>{{'I', "KrelThread.cpp", "64 USO System detected!"}}));
  EXPECT_TRUE(copy(published).empty()) << "detection frames are not decoded";

  for (uint32_t i = 0; i < 7; ++i) push(digest64(5, i));
  push(frameOf("80A000AE#0100000000000000"));  // node 5, register 0x57
  push(frameOf("C0A000AE#"));                  // remote request: no packet
  push(frameOf("88201FE0#01"));                // node 65: no such node
  settle();
  std::vector<std::string> records = copy(published);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("{\"device\":{\"can_id\":5,\"serial\":555819297,", 0), 0u) << records[0];
  EXPECT_EQ(copy(polled), std::vector<std::string>{"node 5 reg 0057 len 8"});
  std::vector<std::string> bridgedPackets = copy(bridged);
  ASSERT_EQ(bridgedPackets.size(), 8u);  // every valid packet, digests too
  EXPECT_EQ(bridgedPackets.back(), "node 5 reg 0057 len 8");
  EXPECT_EQ(copy(forwarded).size(), pushed);  // the console link sees everything
  EXPECT_TRUE(copy(sent).empty());
}

TEST_F(KrelThreadTest, AnswersNode252InA250NodeInstallation) {
  start();
  for (uint32_t i = 0; i < 10; ++i) push(digest250(7, i % 9));
  push(frameOf("80003F80#"));                           // node 252 reads register 1
  push(frameOf("9DDC1F81#0000000000000000"));           // an answer to 252 heard back: not answered
  settle();
  EXPECT_EQ(lines("USO"), (std::vector<LogLine>{{'I', "KrelThread.cpp", "250 USO System detected!"}}));
  EXPECT_EQ(copy(sent), std::vector<std::string>{"9DDC1F81#0000000000000000/8"});
  EXPECT_TRUE(copy(polled).empty());
}

TEST_F(KrelThreadTest, GivesUpOnMixedTrafficAndDetectsAgain) {
  start();
  push(digest64(5, 0));
  push(digest250(7, 0));
  push(digest250(7, 1));
  push(digest64(5, 1));
  for (uint32_t i = 0; i < 10; ++i) push(digest64(5, i % 9));
  settle();
  EXPECT_EQ(lines("USO"), (std::vector<LogLine>{{'W', "KrelThread.cpp", "Cannot detect max USO number"},
                                               {'W', "KrelThread.cpp", "Cannot detect max USO number"},
                                               {'I', "KrelThread.cpp", "64 USO System detected!"}}));
}

TEST_F(KrelThreadTest, QueuesFortyFrames) {
  make();  // not started: nothing takes frames out
  for (int i = 0; i < 41; ++i) thread->pushFrame(digest64(5, 0));
  EXPECT_EQ(thread->queuedFrames(), 40u);
  EXPECT_EQ(lines("Buffer overflow!"), (std::vector<LogLine>{{'W', "SyncRing.h", "Buffer overflow!"}}));
}

TEST_F(KrelThreadTest, SendsQueuedRequestsForValidNodesOnly) {
  start();
  for (uint32_t i = 0; i < 10; ++i) push(digest64(5, i % 9));
  settle();
  IOPacket read;
  read.node = 3;
  read.reg = 0x0100;
  IOPacket tooHigh = read;
  tooHigh.node = 251;
  IOPacket invalid = read;
  invalid.error = 1;
  IOPacket write = read;
  write.length = 4;
  write.data[0] = 0x2A;
  {
    std::lock_guard<std::mutex> lock(mutex);
    requests = {read, tooHigh, invalid, write};
  }
  signalEvent(requestFd);
  ASSERT_TRUE(eventually([&] { return copy(sent).size() == 2; }));
  EXPECT_EQ(copy(sent), (std::vector<std::string>{"80206200#/0", "C0206200#2A000000/4"}));
}

// Both ports on one bus: each hears the other's copy of a read we sent,
// which in the 250-node layout decodes as the node's answer without data.
TEST_F(KrelThreadTest, OwnFramesHeardBackAreMirroredNotRouted) {
  start();
  for (uint32_t i = 0; i < 10; ++i) push(digest250(7, i % 9));
  settle();
  IOPacket read;
  read.node = 7;
  read.reg = 0x0019;
  thread->ioProcessor()->send(read);
  CanFrame echo = frameOf("800320E0#");  // node 7, register 0x19, no data
  ASSERT_EQ(copy(sent), std::vector<std::string>{"800320E0#/0"});
  push(echo);
  push(echo);  // the second port's copy
  milliseconds.advance(KREL::OwnFrames::windowMilliseconds);
  push(echo);  // still within the window
  settle();
  EXPECT_TRUE(copy(polled).empty());
  EXPECT_TRUE(copy(bridged).empty());
  EXPECT_EQ(copy(forwarded).size(), pushed);

  milliseconds.advance(1);  // older than 50 ms: a frame like any other
  push(echo);
  settle();
  EXPECT_EQ(copy(polled), std::vector<std::string>{"node 7 reg 0019 len 0"});
}

}  // namespace

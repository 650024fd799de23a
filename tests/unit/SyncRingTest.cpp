#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "core/Event.h"
#include "core/SyncRing.h"

namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int countOccurrences(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

TEST(SyncRing, FullRingDropsTheNewestAndKeepsTheQueued) {
  SyncRing<int, 4> ring;
  CaptureStdout capture;
  for (int i = 1; i <= 5; ++i) ring.push(i);
  EXPECT_EQ(countOccurrences(capture.text(), "Buffer overflow!"), 1);
  EXPECT_EQ(ring.size(), 4u);

  std::vector<int> taken;
  ring.consumeAll([&](int item) { taken.push_back(item); });
  EXPECT_EQ(taken, (std::vector<int>{1, 2, 3, 4}));
  // Every unit of the descriptor went with its element.
  EXPECT_FALSE(readable(ring.fd()));
}

TEST(SyncRing, WrapsAroundAndDescriptorFollowsTheCount) {
  SyncRing<std::string, 3> ring;
  std::vector<std::string> taken;
  for (int round = 0; round < 7; ++round) {
    ring.push("a" + std::to_string(round));
    ring.push("b" + std::to_string(round));
    EXPECT_TRUE(readable(ring.fd()));
    ring.consumeAll([&](const std::string& item) { taken.push_back(item); });
    EXPECT_FALSE(readable(ring.fd()));
  }
  ASSERT_EQ(taken.size(), 14u);
  EXPECT_EQ(taken[12], "a6");
  EXPECT_EQ(taken[13], "b6");
}

// A unit taken by someone else (a count out of step with the descriptor)
// must not hang the consumer on its read: the descriptor never blocks.
TEST(SyncRing, ConsumerNeverBlocksWhenTheDescriptorFallsBehind) {
  SyncRing<int, 4> ring;
  ring.push(1);
  ring.push(2);
  ASSERT_TRUE(takeEvent(ring.fd()));
  std::vector<int> taken;
  ring.consumeAll([&](int item) { taken.push_back(item); });
  EXPECT_EQ(taken, (std::vector<int>{1, 2}));
  EXPECT_FALSE(takeEvent(ring.fd())) << "an empty descriptor answers at once";
  EXPECT_FALSE(readable(ring.fd()));
}

TEST(SyncRing, PopOnEmptyRingChangesNothing) {
  SyncRing<int, 2> ring;
  CaptureStdout capture;
  ring.pop();
  EXPECT_NE(capture.text().find(" {CRITICAL} Nothing to delete!"), std::string::npos);
  ring.push(9);
  EXPECT_EQ(ring.front(), 9);
  EXPECT_EQ(ring.size(), 1u);
}

// Many producers race for the slots of a small ring: it never holds more than
// its capacity, no queued element is overwritten, and the descriptor holds one
// unit per queued element.
TEST(SyncRing, RacingProducersNeverOverfillOrOverwrite) {
  constexpr int producers = 8;
  constexpr int perProducer = 200;
  SyncRing<int, 5> ring;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  {
    CaptureStdout capture;
    for (int t = 0; t < producers; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) {
        }
        for (int i = 0; i < perProducer; ++i) ring.push(t * 1000 + i);
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(ring.size(), 5u);
  std::set<int> taken;
  int units = 0;
  while (readable(ring.fd())) {
    takeEvent(ring.fd());
    ++units;
  }
  EXPECT_EQ(units, 5);
  for (int i = 0; i < 5; ++i) {
    taken.insert(ring.front());
    ring.pop();
  }
  // Five distinct elements: none was written over another.
  EXPECT_EQ(taken.size(), 5u);
  EXPECT_EQ(ring.size(), 0u);
}

TEST(SyncRing, ConsumerAndProducersRunConcurrently) {
  SyncRing<int, 8> ring;
  constexpr int total = 5000;
  std::atomic<int> consumed{0};
  long long sum = 0;
  std::thread consumer([&] {
    while (consumed.load() < total) {
      pollfd p{ring.fd(), POLLIN, 100};
      poll(&p, 1, 100);
      ring.consumeAll([&](int item) {
        sum += item;
        consumed.fetch_add(1);
      });
    }
  });
  for (int i = 1; i <= total; ++i) {
    while (ring.size() >= 8) std::this_thread::yield();
    ring.push(i);
  }
  consumer.join();
  EXPECT_EQ(sum, static_cast<long long>(total) * (total + 1) / 2);
  // No unit was left behind by a take that came before its push's unit: it
  // would keep the consumer's poll waking for nothing.
  EXPECT_FALSE(readable(ring.fd()));
}

}  // namespace

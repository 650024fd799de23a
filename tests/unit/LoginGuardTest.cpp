// The per-address back-off of failed logins, on a clock the test sets.
#include <gtest/gtest.h>

#include <string>

#include "tinmoss/LoginGuard.h"

namespace {

constexpr int64_t second = 1000;
constexpr int64_t minute = 60 * second;

void failTimes(LoginGuard& guard, const std::string& address, int times, int64_t at) {
  for (int i = 0; i < times; ++i) guard.failed(address, at);
}

TEST(LoginGuard, FiveFailuresBackOffFor30SecondsDoublingToFifteenMinutes) {
  LoginGuard guard;
  int64_t t = 1000 * minute;
  failTimes(guard, "a", 4, t);
  EXPECT_FALSE(guard.backedOff("a", t)) << "four failures are allowed";
  guard.failed("a", t);
  EXPECT_TRUE(guard.backedOff("a", t));
  EXPECT_TRUE(guard.backedOff("a", t + 30 * second - 1));
  EXPECT_FALSE(guard.backedOff("a", t + 30 * second));
  EXPECT_FALSE(guard.backedOff("b", t)) << "another address is never affected";

  // Each failure after a back-off doubles it: 60 s, 120 s, ... up to 15 min.
  const int64_t expected[] = {60, 120, 240, 480, 900, 900};
  for (int64_t backOff : expected) {
    SCOPED_TRACE(backOff);
    t += guard.backOffOf("a");
    guard.failed("a", t);
    EXPECT_EQ(guard.backOffOf("a"), backOff * second);
    EXPECT_TRUE(guard.backedOff("a", t + backOff * second - 1));
    EXPECT_FALSE(guard.backedOff("a", t + backOff * second));
  }
}

TEST(LoginGuard, SuccessAndQuietTimeClearTheAddress) {
  LoginGuard guard;
  int64_t t = 1000 * minute;
  failTimes(guard, "a", 5, t);
  ASSERT_TRUE(guard.backedOff("a", t));
  guard.succeeded("a");
  EXPECT_FALSE(guard.backedOff("a", t));
  failTimes(guard, "a", 4, t);
  EXPECT_FALSE(guard.backedOff("a", t)) << "a success starts the count afresh";

  // Failures count within 10 minutes of the first.
  LoginGuard window;
  failTimes(window, "a", 4, t);
  window.failed("a", t + 10 * minute + 1);
  EXPECT_FALSE(window.backedOff("a", t + 10 * minute + 1));
  failTimes(window, "a", 3, t + 10 * minute + 2);
  window.failed("a", t + 10 * minute + 3);
  EXPECT_TRUE(window.backedOff("a", t + 10 * minute + 3));

  // A backed-off address quiet for 10 minutes after its back-off starts afresh.
  LoginGuard quiet;
  failTimes(quiet, "a", 5, t);
  int64_t later = t + 30 * second + 10 * minute + 1;
  quiet.failed("a", later);
  EXPECT_FALSE(quiet.backedOff("a", later));
  EXPECT_EQ(quiet.backOffOf("a"), 0);
}

TEST(LoginGuard, TheTableIsBoundedAndForgetsTheOldestFirst) {
  LoginGuard guard;
  int64_t t = 1000 * minute;
  failTimes(guard, "first", 5, t);
  for (size_t i = 1; i < LoginGuard::maxAddresses; ++i) guard.failed("10.0.0." + std::to_string(i), t + 1);
  EXPECT_EQ(guard.rememberedAddresses(), LoginGuard::maxAddresses);
  EXPECT_TRUE(guard.backedOff("first", t + 2));
  guard.failed("newcomer", t + 2);
  EXPECT_EQ(guard.rememberedAddresses(), LoginGuard::maxAddresses);
  EXPECT_FALSE(guard.backedOff("first", t + 2)) << "the oldest failure was forgotten";
  EXPECT_EQ(guard.backOffOf("10.0.0.1"), 0);
  failTimes(guard, "newcomer", 4, t + 3);
  EXPECT_TRUE(guard.backedOff("newcomer", t + 3));
}

}  // namespace

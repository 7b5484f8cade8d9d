// The parts of the defence against guessing that keep no socket: the
// warning lines and their cap, the failures per address, the pacing of
// failed logons.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon/failure_pacing.h"
#include "daemon/login_failure_limits.h"
#include "daemon/refusal_log.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFirst = 0x7F000002;   // 127.0.0.2
constexpr std::uint32_t kSecond = 0x7F000003;  // 127.0.0.3

TEST(RefusalText, EachLineNamesAddressAndPortAndNoControlCharacterGetsThrough) {
  const platform::Ipv4Endpoint peer{kFirst, 40123};
  EXPECT_EQ(loginRefusedText("ann", peer, RefusalReason::WrongCredentials),
            "Login refused for user ann from 127.0.0.2 port 40123: wrong user name or password");
  EXPECT_EQ(loginRefusedText("a\nb\x7f\t", peer, RefusalReason::TooManyFailures),
            "Login refused for user a?b?? from 127.0.0.2 port 40123: too many failures from this "
            "address");
  EXPECT_EQ(loginRefusedText("", peer, RefusalReason::EngineNotStarted),
            "Login refused for user  from 127.0.0.2 port 40123: the engine could not be started");
  EXPECT_EQ(incompleteRecordText(peer, 5),
            "No complete login record from 127.0.0.2 port 40123 within 5 seconds");
  EXPECT_EQ(pendingClosedText({kSecond, 1}, 8),
            "Connection from 127.0.0.3 port 1 closed: 8 connections already pending from this "
            "address");
}

TEST(RefusalLogCap, AHundredLinesASecondThenOneLineForTheRestOnceTheSecondIsOver) {
  std::vector<std::string> written;
  RefusalLog log([&written](const std::string& line) { written.push_back(line); });
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 130; ++i) log.write("line " + std::to_string(i), start + i * 1ms);
  ASSERT_EQ(written.size(), 100u);
  EXPECT_EQ(written.back(), "line 99");
  // Nothing is said of those left out while their second lasts.
  log.flush(start + 999ms);
  EXPECT_EQ(written.size(), 100u);
  ASSERT_TRUE(log.summaryDue().has_value());
  EXPECT_EQ(*log.summaryDue(), start + 1s);

  log.flush(start + 1s);
  ASSERT_EQ(written.size(), 101u);
  EXPECT_EQ(written.back(), "30 refusal lines left out in the last second");
  EXPECT_FALSE(log.summaryDue().has_value());
  log.flush(start + 5s);
  EXPECT_EQ(written.size(), 101u) << "the summary is written once";

  // A new second has its hundred again; one that left nothing out ends
  // without a summary, and a line after it says the earlier count first.
  for (int i = 0; i < 100; ++i) log.write("again", start + 6s);
  log.write("over", start + 6s + 500ms);
  log.write("next second", start + 7s + 1ms);
  ASSERT_EQ(written.size(), 203u);
  EXPECT_EQ(written[201], "1 refusal lines left out in the last second");
  EXPECT_EQ(written[202], "next second");
}

TEST(LoginFailureLimitsTable, TheLimitBlocksOneAddressUntilThePenaltyAfterItsLastFailure) {
  LoginFailureLimits limits(3, 60s);
  const Clock::time_point start = Clock::now();
  limits.recordFailure(kFirst, start);
  limits.recordFailure(kFirst, start + 10s);
  EXPECT_FALSE(limits.blocked(kFirst, start + 10s));
  limits.recordFailure(kFirst, start + 20s);
  EXPECT_TRUE(limits.blocked(kFirst, start + 20s));
  EXPECT_FALSE(limits.blocked(kSecond, start + 20s));
  EXPECT_TRUE(limits.blocked(kFirst, start + 79s));
  EXPECT_FALSE(limits.blocked(kFirst, start + 80s));

  // A check under way when the block began still counts, and moves its end.
  limits.recordFailure(kSecond, start);
  limits.recordFailure(kSecond, start + 1s);
  limits.recordFailure(kSecond, start + 2s);
  limits.recordFailure(kSecond, start + 30s);
  EXPECT_TRUE(limits.blocked(kSecond, start + 89s));
  EXPECT_FALSE(limits.blocked(kSecond, start + 90s));
}

TEST(LoginFailureLimitsTable, FailuresFurtherApartThanThePenaltyNeverBlockAndALimitOf0NoneAtAll) {
  LoginFailureLimits limits(3, 60s);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    limits.recordFailure(kFirst, start + i * 31s);
    EXPECT_FALSE(limits.blocked(kFirst, start + i * 31s)) << i;
  }

  LoginFailureLimits off(0, 60s);
  for (int i = 0; i < 1000; ++i) off.recordFailure(kFirst, start);
  EXPECT_FALSE(off.blocked(kFirst, start));
  EXPECT_EQ(off.size(), 0u);
}

TEST(LoginFailureLimitsTable, AFullTableMakesRoomButNeverLiftsABlock) {
  LoginFailureLimits limits(2, 60s, 4);
  const Clock::time_point start = Clock::now();
  // Two blocked addresses, one stale, one recent.
  for (std::uint32_t address : {1u, 2u}) {
    limits.recordFailure(address, start + 40s);
    limits.recordFailure(address, start + 40s);
  }
  limits.recordFailure(3, start);
  limits.recordFailure(4, start + 50s);
  ASSERT_EQ(limits.size(), 4u);

  // The stale one goes first.
  limits.recordFailure(5, start + 70s);
  EXPECT_EQ(limits.size(), 4u);
  limits.recordFailure(5, start + 70s);
  EXPECT_TRUE(limits.blocked(5, start + 70s));
  // None stale now: the unblocked one with the oldest failure goes, and
  // with only blocked addresses left a new one is not recorded.
  limits.recordFailure(6, start + 71s);
  limits.recordFailure(6, start + 71s);
  EXPECT_TRUE(limits.blocked(6, start + 71s));
  limits.recordFailure(7, start + 72s);
  limits.recordFailure(7, start + 72s);
  EXPECT_FALSE(limits.blocked(7, start + 72s));
  for (std::uint32_t address : {1u, 2u, 5u, 6u}) {
    EXPECT_TRUE(limits.blocked(address, start + 72s)) << address;
  }
  EXPECT_EQ(limits.size(), 4u);
}

TEST(FailurePacingRule, EveryFailureWaitsTheFloorAtLeastAndAnUnknownAccountAsAKnownOne) {
  FailurePacing pacing;
  platform::LogonPacing unknown;
  unknown.unknownAccount = true;
  // Nothing asked yet: the floor, for a name that is an account or none.
  EXPECT_EQ(pacing.delayFor(unknown), FailurePacing::kShortest);
  EXPECT_EQ(pacing.delayFor(platform::LogonPacing{}), FailurePacing::kShortest);

  platform::LogonPacing known;
  known.delayAsked = true;
  known.delayMs = 1500;
  EXPECT_EQ(pacing.delayFor(known), FailurePacing::kShortest);
  known.delayMs = 3700;
  EXPECT_EQ(pacing.delayFor(known), 3700ms);
  known.delayMs = 2900;
  EXPECT_EQ(pacing.delayFor(known), 2900ms);
  // Nothing asked: the longest asked so far, not the last, known or not.
  EXPECT_EQ(pacing.delayFor(unknown), 3700ms);
  EXPECT_EQ(pacing.delayFor(platform::LogonPacing{}), 3700ms);
  // An unknown account whose check asked for a delay gets that one, and
  // it does not count as a known account's.
  platform::LogonPacing unknownAsked = unknown;
  unknownAsked.delayAsked = true;
  unknownAsked.delayMs = 5000;
  EXPECT_EQ(pacing.delayFor(unknownAsked), 5000ms);
  EXPECT_EQ(pacing.delayFor(unknown), 3700ms);

  // No answer waits longer than the ceiling.
  known.delayMs = 60000;
  EXPECT_EQ(pacing.delayFor(known), FailurePacing::kLongest);
  EXPECT_EQ(pacing.delayFor(unknown), FailurePacing::kLongest);
}

}  // namespace

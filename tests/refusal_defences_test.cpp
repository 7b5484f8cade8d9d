// The parts of the defence against guessing that keep no socket: the
// warning lines and their cap, the failures per address, the pacing of
// failed logons.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "daemon/failure_pacing.h"
#include "daemon/login_failure_limits.h"
#include "daemon/refusal_log.h"
#include "platform/address_text.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

platform::NetAddress ip(std::uint32_t address) { return platform::NetAddress::ipv4(address); }

constexpr std::uint32_t kFirst = 0x7F000002;   // 127.0.0.2
constexpr std::uint32_t kSecond = 0x7F000003;  // 127.0.0.3

TEST(RefusalText, EachLineNamesAddressAndPortAndNoControlCharacterGetsThrough) {
  const platform::Endpoint peer{ip(kFirst), 40123};
  EXPECT_EQ(loginRefusedText("ann", peer, RefusalReason::WrongCredentials),
            "Login refused for user ann from 127.0.0.2 port 40123: wrong user name or password");
  EXPECT_EQ(loginRefusedText("a\nb\x7f\t", peer, RefusalReason::TooManyFailures),
            "Login refused for user a?b?? from 127.0.0.2 port 40123: too many failures from this "
            "address");
  EXPECT_EQ(loginRefusedText("", peer, RefusalReason::EngineNotStarted),
            "Login refused for user  from 127.0.0.2 port 40123: the engine could not be started");
  EXPECT_EQ(incompleteRecordText(peer, 5),
            "No complete login record from 127.0.0.2 port 40123 within 5 seconds");
  EXPECT_EQ(pendingClosedText({ip(kSecond), 1}, 8),
            "Connection from 127.0.0.3 port 1 closed: 8 connections already pending from this "
            "address");
  // An IPv6 client in its canonical text, without brackets.
  platform::NetAddress v6;
  ASSERT_TRUE(parseAddress("2001:0DB8:0:0:0:0:0:7", &v6));
  EXPECT_EQ(loginRefusedText("ann", {v6, 40001}, RefusalReason::WrongCredentials),
            "Login refused for user ann from 2001:db8::7 port 40001: wrong user name or password");
  EXPECT_EQ(loginAcceptedText("a\nb", {v6, 40001}, "LogonUser"),
            "Login accepted for user a?b from 2001:db8::7 port 40001: LogonUser");
}

// Lines of the tests below: what the writer was given, "E:" before an
// error entry's text.
RefusalLog::Writer recordInto(std::vector<std::string>& written) {
  return [&written](platform::EventType type, const std::string& line) {
    written.push_back(type == platform::EventType::Error ? "E:" + line : line);
  };
}

TEST(RefusalLogCap, AHundredLinesASecondThenOneLineForTheRestOnceTheSecondIsOver) {
  std::vector<std::string> written;
  RefusalLog log(recordInto(written));
  const Clock::time_point start = Clock::now();
  // Thirteen addresses, none past its own ten.
  const auto address = [](int i) { return kFirst + static_cast<std::uint32_t>(i % 13); };
  for (int i = 0; i < 130; ++i) log.write(ip(address(i)), "line " + std::to_string(i), start + i * 1ms);
  ASSERT_EQ(written.size(), 100u);
  EXPECT_EQ(written.back(), "line 99");
  // Nothing is said of those left out while their second lasts.
  log.flush(start + 999ms);
  EXPECT_EQ(written.size(), 100u);
  ASSERT_TRUE(log.summaryDue().has_value());
  EXPECT_EQ(*log.summaryDue(), start + 1s);

  log.flush(start + 1s);
  ASSERT_EQ(written.size(), 101u);
  EXPECT_EQ(written.back(), "30 refusal lines left out in the last second from 13 addresses");
  EXPECT_FALSE(log.summaryDue().has_value());
  log.flush(start + 5s);
  EXPECT_EQ(written.size(), 101u) << "the summary is written once";

  // A new second has its hundred again; one that left nothing out ends
  // without a summary, and a line after it says the earlier count first.
  for (int i = 0; i < 100; ++i) log.write(ip(address(i)), "again", start + 6s);
  log.write(ip(kSecond), "over", start + 6s + 500ms);
  log.write(ip(kSecond), "next second", start + 7s + 1ms);
  ASSERT_EQ(written.size(), 203u);
  EXPECT_EQ(written[201], "1 refusal lines left out in the last second from 1 addresses");
  EXPECT_EQ(written[202], "next second");
}

// Bursts of lines within one second, in order: `lines` from each address
// of `first` to `last`, one address after the other.
struct Burst {
  std::uint32_t first, last;
  int lines;
};
struct ShareCase {
  const char* name;
  std::vector<Burst> bursts;
  // Lines written for each address from kFirst on.
  std::vector<std::size_t> writtenPerAddress;
  std::vector<std::string> summary;
};

TEST(RefusalLogCap, NoAddressTakesMoreThanTenOfTheSecondsLinesNorHidesAnothersTen) {
  const std::uint32_t a = kFirst;
  const std::vector<ShareCase> cases = {
      {"eight floods, then a guesser", {{a, a + 7, 50}, {a + 8, a + 8, 10}},
       {10, 10, 10, 10, 10, 10, 10, 10, 10},
       {"320 refusal lines left out in the last second from 8 addresses"}},
      {"one flood before and after another address", {{a, a, 30}, {a + 1, a + 1, 12}, {a, a, 5}},
       {10, 10}, {"27 refusal lines left out in the last second from 2 addresses"}},
      {"nine floods leave the tenth its ten", {{a, a + 8, 40}, {a + 9, a + 9, 10}},
       std::vector<std::size_t>(10, 10),
       {"270 refusal lines left out in the last second from 9 addresses"}},
      // Past ten addresses the instance's hundred is full.
      {"twelve addresses within their ten", {{a, a + 11, 10}},
       {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 0, 0},
       {"20 refusal lines left out in the last second from 2 addresses"}},
      {"one address within its ten", {{a, a, 10}}, {10}, {}},
  };
  for (const ShareCase& test : cases) {
    std::vector<std::string> written;
    RefusalLog log(recordInto(written));
    const Clock::time_point start = Clock::now();
    for (const Burst& burst : test.bursts) {
      for (std::uint32_t address = burst.first; address <= burst.last; ++address) {
        for (int i = 0; i < burst.lines; ++i) log.write(ip(address), std::to_string(address), start);
      }
    }
    log.flush(start + 1s);
    std::vector<std::size_t> perAddress(test.writtenPerAddress.size());
    std::vector<std::string> summary;
    for (const std::string& line : written) {
      if (line.find(" left out ") != std::string::npos) {
        summary.push_back(line);
      } else {
        ++perAddress.at(std::stoul(line) - a);
      }
    }
    EXPECT_EQ(perAddress, test.writtenPerAddress) << test.name;
    EXPECT_EQ(summary, test.summary) << test.name;
  }
}

TEST(RefusalLogCap, AnErrorEntryAndItsWarningAreWrittenOrLeftOutTogetherAsOneLine) {
  std::vector<std::string> written;
  RefusalLog log(recordInto(written));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 12; ++i) {
    log.write(ip(kFirst), {{platform::EventType::Error, "reason " + std::to_string(i)},
                       {platform::EventType::Warning, "refused " + std::to_string(i)}},
              start);
  }
  ASSERT_EQ(written.size(), 20u);
  EXPECT_EQ(written[0], "E:reason 0");
  EXPECT_EQ(written[1], "refused 0");
  EXPECT_EQ(written[19], "refused 9");
  log.flush(start + 1s);
  EXPECT_EQ(written.back(), "2 refusal lines left out in the last second from 1 addresses");
}

// Accepted logins have caps of their own, and their own summary, as an
// information entry.
TEST(RefusalLogCap, AcceptedLoginLinesKeepTheCapsUnderTheirOwnName) {
  std::vector<std::pair<platform::EventType, std::string>> written;
  RefusalLog log([&written](platform::EventType type, const std::string& line) {
    written.emplace_back(type, line);
  }, "accepted-login", platform::EventType::Information);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 11; ++i) {
    log.write(ip(kFirst), {{platform::EventType::Information, "accepted"}}, start);
  }
  log.flush(start + 1s);
  ASSERT_EQ(written.size(), 11u);
  EXPECT_EQ(written.back(), std::make_pair(platform::EventType::Information,
                                           std::string("1 accepted-login lines left out in the "
                                                       "last second from 1 addresses")));
}

TEST(LoginFailureLimitsTable, TheLimitBlocksOneAddressUntilThePenaltyAfterItsLastFailure) {
  LoginFailureLimits limits(3, 60s);
  const Clock::time_point start = Clock::now();
  limits.recordFailure(ip(kFirst), start);
  limits.recordFailure(ip(kFirst), start + 10s);
  EXPECT_FALSE(limits.blocked(ip(kFirst), start + 10s));
  limits.recordFailure(ip(kFirst), start + 20s);
  EXPECT_TRUE(limits.blocked(ip(kFirst), start + 20s));
  EXPECT_FALSE(limits.blocked(ip(kSecond), start + 20s));
  EXPECT_TRUE(limits.blocked(ip(kFirst), start + 79s));
  EXPECT_FALSE(limits.blocked(ip(kFirst), start + 80s));

  // A check under way when the block began still counts, and moves its end.
  limits.recordFailure(ip(kSecond), start);
  limits.recordFailure(ip(kSecond), start + 1s);
  limits.recordFailure(ip(kSecond), start + 2s);
  limits.recordFailure(ip(kSecond), start + 30s);
  EXPECT_TRUE(limits.blocked(ip(kSecond), start + 89s));
  EXPECT_FALSE(limits.blocked(ip(kSecond), start + 90s));
}

TEST(LoginFailureLimitsTable, FailuresFurtherApartThanThePenaltyNeverBlockAndALimitOf0NoneAtAll) {
  LoginFailureLimits limits(3, 60s);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    limits.recordFailure(ip(kFirst), start + i * 31s);
    EXPECT_FALSE(limits.blocked(ip(kFirst), start + i * 31s)) << i;
  }

  LoginFailureLimits off(0, 60s);
  for (int i = 0; i < 1000; ++i) off.recordFailure(ip(kFirst), start);
  EXPECT_FALSE(off.blocked(ip(kFirst), start));
  EXPECT_EQ(off.size(), 0u);
}

TEST(LoginFailureLimitsTable, AFullTableMakesRoomButNeverLiftsABlock) {
  LoginFailureLimits limits(2, 60s, 4);
  const Clock::time_point start = Clock::now();
  // Two blocked addresses, one stale, one recent.
  for (std::uint32_t address : {1u, 2u}) {
    limits.recordFailure(ip(address), start + 40s);
    limits.recordFailure(ip(address), start + 40s);
  }
  limits.recordFailure(ip(3), start);
  limits.recordFailure(ip(4), start + 50s);
  ASSERT_EQ(limits.size(), 4u);

  // The stale one goes first.
  limits.recordFailure(ip(5), start + 70s);
  EXPECT_EQ(limits.size(), 4u);
  limits.recordFailure(ip(5), start + 70s);
  EXPECT_TRUE(limits.blocked(ip(5), start + 70s));
  // None stale now: the unblocked one with the oldest failure goes, and
  // with only blocked addresses left a new one is not recorded.
  limits.recordFailure(ip(6), start + 71s);
  limits.recordFailure(ip(6), start + 71s);
  EXPECT_TRUE(limits.blocked(ip(6), start + 71s));
  limits.recordFailure(ip(7), start + 72s);
  limits.recordFailure(ip(7), start + 72s);
  EXPECT_FALSE(limits.blocked(ip(7), start + 72s));
  for (std::uint32_t address : {1u, 2u, 5u, 6u}) {
    EXPECT_TRUE(limits.blocked(ip(address), start + 72s)) << address;
  }
  EXPECT_EQ(limits.size(), 4u);
}

using Admission = LoginFailureLimits::Admission;
using Outcome = LoginFailureLimits::Outcome;

TEST(LoginFailureLimitsChecks, ChecksUnderWayCountAgainstTheLimitUntilTheyEnd) {
  LoginFailureLimits limits(3, 60s);
  const Clock::time_point start = Clock::now();
  // Eight at once: three begin, the others are refused.
  std::vector<Admission> admitted;
  for (int i = 0; i < 8; ++i) admitted.push_back(limits.beginCheck(ip(kFirst), start));
  EXPECT_EQ(std::count(admitted.begin(), admitted.end(), Admission::Counted), 3);
  EXPECT_EQ(std::count(admitted.begin(), admitted.end(), Admission::Refused), 5);
  EXPECT_FALSE(limits.blocked(ip(kFirst), start)) << "a check under way is no failure";
  EXPECT_EQ(limits.beginCheck(ip(kSecond), start), Admission::Counted) << "nor another's";

  // An accepted check gives its place back, a wrong guess keeps it.
  limits.endCheck(ip(kFirst), Admission::Counted, Outcome::NoGuess, start + 1s);
  limits.endCheck(ip(kFirst), Admission::Counted, Outcome::WrongGuess, start + 1s);
  EXPECT_EQ(limits.beginCheck(ip(kFirst), start + 2s), Admission::Counted);
  EXPECT_EQ(limits.beginCheck(ip(kFirst), start + 2s), Admission::Refused);
  // Once the failure is older than the penalty, its place is free again.
  EXPECT_EQ(limits.beginCheck(ip(kFirst), start + 61s), Admission::Counted);
  for (int i = 0; i < 3; ++i) {
    limits.endCheck(ip(kFirst), Admission::Counted, Outcome::WrongGuess, start + 62s);
  }
  EXPECT_TRUE(limits.blocked(ip(kFirst), start + 62s));
  EXPECT_EQ(limits.beginCheck(ip(kFirst), start + 121s), Admission::Refused);
  EXPECT_EQ(limits.beginCheck(ip(kFirst), start + 122s), Admission::Counted);

  LoginFailureLimits off(0, 60s);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(off.beginCheck(ip(kFirst), start), Admission::Uncounted);
}

TEST(LoginFailureLimitsChecks, NoWindowOfThePenaltyEverHoldsMoreFailuresThanTheLimit) {
  // Checks of one address begun and ended at random; each ends as a wrong
  // guess or not, after up to three seconds.
  constexpr std::size_t kLimit = 4;
  constexpr auto kPenalty = 10s;
  LoginFailureLimits limits(kLimit, kPenalty);
  std::mt19937 random(7);
  const Clock::time_point start = Clock::now();
  std::vector<std::pair<Clock::time_point, bool>> underWay;  // end, wrong guess
  std::vector<Clock::time_point> failures;
  std::size_t refused = 0;
  for (auto now = start; now < start + 600s; now += 100ms) {
    std::erase_if(underWay, [&](const auto& check) {
      if (check.first > now) return false;
      limits.endCheck(ip(kFirst), Admission::Counted,
                      check.second ? Outcome::WrongGuess : Outcome::NoGuess, now);
      if (check.second) failures.push_back(now);
      return true;
    });
    if (random() % 3 != 0) continue;
    const Admission admission = limits.beginCheck(ip(kFirst), now);
    if (admission == Admission::Refused) {
      ++refused;
      continue;
    }
    ASSERT_EQ(admission, Admission::Counted);
    underWay.emplace_back(now + std::chrono::milliseconds(random() % 3000), random() % 4 != 0);
  }
  ASSERT_GT(failures.size(), 2 * kLimit);
  ASSERT_GT(refused, 0u);
  for (std::size_t i = kLimit; i < failures.size(); ++i) {
    EXPECT_GE(failures[i] - failures[i - kLimit], kPenalty) << i;
  }
}

TEST(LoginFailureLimitsChecks, AFullTableKeepsTheAddressesWithChecksUnderWay) {
  LoginFailureLimits limits(2, 60s, 2);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(limits.beginCheck(ip(1), start), Admission::Counted);
  ASSERT_EQ(limits.beginCheck(ip(2), start), Admission::Counted);
  // No room, and none may be made: the new address's check runs uncounted.
  EXPECT_EQ(limits.beginCheck(ip(3), start + 70s), Admission::Uncounted);
  limits.endCheck(ip(1), Admission::Counted, Outcome::WrongGuess, start + 71s);
  EXPECT_EQ(limits.beginCheck(ip(1), start + 71s), Admission::Counted);
  EXPECT_EQ(limits.beginCheck(ip(1), start + 71s), Admission::Refused);
  // Once address 2's check ends, it may go, and 3's failure is recorded.
  limits.endCheck(ip(2), Admission::Counted, Outcome::NoGuess, start + 72s);
  limits.endCheck(ip(3), Admission::Uncounted, Outcome::WrongGuess, start + 72s);
  limits.recordFailure(ip(3), start + 72s);
  EXPECT_TRUE(limits.blocked(ip(3), start + 72s));
  EXPECT_EQ(limits.size(), 2u);
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

// Admission by stage: connections still sending their record have a
// budget of their own; when it is full, room is made by closing the oldest
// such connection of the address that has the most; a whole record waits
// for a login slot instead of holding up the reading of others.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "daemon/admission_bounds.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::kAccepted;
using testing_support::record;

constexpr std::uint32_t host(std::uint32_t last) { return 0x7F000000u | last; }  // 127.0.0.last

TEST(AdmissionBoundsTable, TheDescriptorsCutBothBudgetsAndKeepTheirReserve) {
  CServiceConfig config;
  struct Case {
    std::size_t descriptors;
    std::int32_t logins, records;  // as configured
    std::size_t wantLogins, wantRecords;
  };
  const Case cases[] = {
      {1048576, 64, 1024, 64, 1024},  // plenty: as configured
      {1024, 64, 1024, 64, 736},      // a usual soft limit
      {128, 64, 1024, 12, 48},
      {40, 64, 1024, 1, 4},
      {10, 64, 1024, 1, 1},          // fewer than the reserve: one of each still
      {1048576, 0, 0, 64, 1024},     // below 1: the defaults
      {1048576, 2, 5, 2, 5},
  };
  for (const Case& c : cases) {
    config.MaxPendingLogins = c.logins;
    config.MaxPendingRecords = c.records;
    const AdmissionBounds bounds = AdmissionBounds::of(config, c.descriptors);
    EXPECT_EQ(bounds.logins, c.wantLogins) << c.descriptors;
    EXPECT_EQ(bounds.records, c.wantRecords) << c.descriptors;
    // What the bounds hold never takes the reserve.
    if (c.descriptors > 64) {
      EXPECT_LE(bounds.records + bounds.logins * AdmissionBounds::kDescriptorsPerLogin +
                    AdmissionBounds::kReservedDescriptors,
                c.descriptors);
    }
  }
}

class AdmissionByStage : public testing_support::ServingFixture {
 protected:
  AdmissionByStage() {
    config("AuthenticationMethod", "Vorn");
    config("SockReceiveTimeout", "5");
  }
  // A silent connection, accepted by the daemon before the call returns.
  std::unique_ptr<Client> silent(std::uint32_t source) {
    auto client = std::make_unique<Client>(m_port, source);
    EXPECT_TRUE(client->connected());
    platform::sleepMs(50);
    return client;
  }
  // True when the daemon has closed the connection (no reply).
  static bool closedByDaemon(Client& client) { return client.readAll(300) == ""; }
};

TEST_F(AdmissionByStage, AFullBudgetClosesTheOldestRecordOfTheAddressWithTheMost) {
  config("MaxPendingRecords", "4");
  start();
  std::vector<std::unique_ptr<Client>> a;
  for (int i = 0; i < 3; ++i) a.push_back(silent(host(2)));
  auto b = silent(host(3));
  // The budget is full: a fifth connection takes the place of 127.0.0.2's
  // oldest.
  auto c = silent(host(4));
  // Then 127.0.0.2 still has the most (2 to 1 and 1), and its next oldest
  // goes for a login, which is served.
  Client login(m_port, host(5));
  login.send(record("roomy", "pw"));
  EXPECT_EQ(login.readAll(), kAccepted);

  EXPECT_TRUE(closedByDaemon(*a[0]));
  EXPECT_TRUE(closedByDaemon(*a[1]));
  EXPECT_FALSE(closedByDaemon(*a[2]));
  EXPECT_FALSE(closedByDaemon(*b));
  EXPECT_FALSE(closedByDaemon(*c));
  // One line a second per address: the second closure is left out.
  EXPECT_EQ(logOccurrences("negotiateLogin - connection from 127.0.0.2 closed to make room: 3 "
                           "connections from that address sending their records"),
            1u);
  EXPECT_EQ(logOccurrences("closed to make room"), 1u);
  EXPECT_EQ(counters(), "1/0");
}

TEST_F(AdmissionByStage, OneLoginSlotStillReadsRecordsSideBySide) {
  config("MaxPendingLogins", "1");
  config("SockReceiveTimeout", "2");
  start();
  auto quiet = silent(host(2));
  // A silent client no longer holds the one slot: the login is answered
  // at once, and the silent one still gets its full time.
  const Clock::time_point begun = Clock::now();
  Client login(m_port);
  login.send(record("single", "pw"));
  EXPECT_EQ(login.read(2), kAccepted);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(quiet->readAll(4000), "");
  EXPECT_EQ(logOccurrences("no complete login record within 2 seconds"), 1u);
}

}  // namespace

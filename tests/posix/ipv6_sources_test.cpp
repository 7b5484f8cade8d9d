// IPv6 clients counted per prefix, with addresses other than ::1: each
// case runs in a child process inside a network namespace of its own,
// whose loopback interface gets the documentation addresses it needs.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "serving_fixture.h"
#include "platform/address_text.h"

namespace {

using testing_support::Client;
using testing_support::addressOf;
using testing_support::kAccepted;
using testing_support::record;

constexpr int kNoNamespace = 77;

class Ipv6Sources : public testing_support::ServingFixture {
 protected:
  using Runner = testing_support::DaemonRunner<testing_support::ServingDaemon>;

  // Runs `body` in a child in a new network namespace with lo up and the
  // addresses on it; the child's failures come back as its exit status,
  // their text on its standard error.
  template <typename Body>
  void inNamespace(const char* addresses, Body body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (unshare(CLONE_NEWNET) != 0) _exit(kNoNamespace);
      std::string setup = "ip link set lo up";
      for (std::string rest = addresses; !rest.empty();) {
        const std::size_t blank = rest.find(' ');
        setup += " && ip -6 addr add " + rest.substr(0, blank) + "/128 dev lo nodad";
        rest = blank == std::string::npos ? "" : rest.substr(blank + 1);
      }
      if (std::system((setup + " 2>&1").c_str()) != 0) _exit(kNoNamespace);
      _exit(body() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "no network namespace here (root, ip)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are above";
  }
};

#define CHILD_EXPECT(condition)                                             \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ok = false;                                                           \
    }                                                                       \
  } while (false)

// With one connection allowed per source, a silent connection from one
// address holds its whole prefix: a second address of the same /64 is
// closed unanswered, one of another /64 is served. With the prefix at 128
// every address is a source of its own.
TEST_F(Ipv6Sources, AddressesOfOnePrefixShareTheirBoundAndOthersDoNot) {
  config("AuthenticationMethod", "Vorn");
  config("MaxPendingPerSource", "1");
  const struct {
    const char* prefix;
    bool sameSlash64Served;
  } cases[] = {{"", false}, {"64", false}, {"128", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("SourcePrefixIPv6 \"") + c.prefix + "\"");
    config("SourcePrefixIPv6", c.prefix);
    inNamespace("2001:db8:0:1::5 2001:db8:0:1::6 2001:db8:0:2::5", [&] {
      bool ok = true;
      Runner run(m_name);
      run.start();
      CHILD_EXPECT(testing_support::waitForState(m_tap, platform::kServiceRunning));
      m_port = run.daemon().port();
      const platform::NetAddress first = addressOf("2001:db8:0:1::5");
      const platform::NetAddress sameBlock = addressOf("2001:db8:0:1::6");
      const platform::NetAddress otherBlock = addressOf("2001:db8:0:2::5");
      Client silent(m_port, addressOf("::1"), &first);
      CHILD_EXPECT(silent.connected());
      platform::sleepMs(100);  // accepted and counted before the next
      {
        Client second(m_port, addressOf("::1"), &sameBlock);
        CHILD_EXPECT(second.connected());
        second.send(record("ann", "pw"));
        const std::string reply = second.readAll(5000);
        CHILD_EXPECT(reply == (c.sameSlash64Served ? kAccepted : std::string()));
        if (reply != (c.sameSlash64Served ? kAccepted : std::string())) {
          std::fprintf(stderr, "  prefix \"%s\": %zu bytes came back\n", c.prefix, reply.size());
        }
        if (!c.sameSlash64Served) {
          const std::string line = "Connection from 2001:db8:0:1::6 port " +
                                   std::to_string(second.localPort()) +
                                   " closed: 1 connections already pending from this address";
          bool logged = false;
          for (const auto& event : m_tap.events()) logged |= event.text == line;
          CHILD_EXPECT(logged);
        }
      }
      Client third(m_port, addressOf("::1"), &otherBlock);
      third.send(record("ann", "pw"));
      const std::string thirdReply = third.readAll(5000);
      CHILD_EXPECT(thirdReply == kAccepted);
      if (thirdReply != kAccepted) {
        std::fprintf(stderr, "  prefix \"%s\": the other /64 got %zu bytes\n", c.prefix,
                     thirdReply.size());
      }
      run.stop();
      return ok;
    });
  }
}

}  // namespace

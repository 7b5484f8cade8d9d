// One daemon under a long mixed load: accepted logins, logins refused by a
// switch, status pages, records cut short, and clients that say nothing
// until their time runs out. Afterwards it holds what it held before, has
// left no child unreaped, and counted exactly what the clients saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "posix/process_census.h"
#include "posix/raw_client.h"
#include "serving_fixture.h"

namespace {

using testing_support::kAccepted;
using testing_support::kRefused;
using testing_support::RawClient;
using testing_support::record;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 2;  // every connection costs several times more
#else
constexpr int kScale = 1;
#endif

enum class Kind { Accepted, Refused, Page, Short, Silent };

struct Mix {
  int accepted, refused, pages, shorts, silent;
  int total() const { return accepted + refused + pages + shorts + silent; }
};

// The number after a label of the status page; -1 when it is not there.
long long pageNumber(const std::string& page, const std::string& label) {
  const std::string start = label + "</td><td class=\"th\">";
  const std::size_t at = page.find(start);
  if (at == std::string::npos) return -1;
  return std::atoll(page.c_str() + at + start.size());
}

class Soak : public testing_support::ServingFixture {
 protected:
  Soak() : m_random(std::random_device()()) {
    config("AuthenticationMethod", "Vorn");
    config("VornExecutable", "/bin/true");
    config("ServiceDisableFms", "Yes");
    config("SockReceiveTimeout", "1");
  }

  // Runs the mix in a random order; false at the first connection that
  // did not go as it should (the failure says which).
  bool run(const Mix& mix) {
    std::vector<Kind> order;
    order.insert(order.end(), mix.accepted, Kind::Accepted);
    order.insert(order.end(), mix.refused, Kind::Refused);
    order.insert(order.end(), mix.pages, Kind::Page);
    order.insert(order.end(), mix.shorts, Kind::Short);
    order.insert(order.end(), mix.silent, Kind::Silent);
    std::shuffle(order.begin(), order.end(), m_random);
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (!connectOnce(order[i])) {
        ADD_FAILURE() << "connection " << i << " of " << order.size() << ", kind "
                      << static_cast<int>(order[i]);
        return false;
      }
    }
    return true;
  }

  bool connectOnce(Kind kind) {
    RawClient client(m_port);
    if (!client.connected()) {
      ADD_FAILURE() << "connect failed: " << std::strerror(errno);
      return false;
    }
    const std::string login = record("soak", "pw");
    switch (kind) {
      case Kind::Accepted:
        // The engine's end closes the connection.
        if (!client.send(login) || client.readToEnd(10000) != kAccepted || !client.ended()) {
          return false;
        }
        ++m_served;
        return true;
      case Kind::Refused: {
        if (!client.send(record("soak", "pw", "-fms_server"))) return false;
        const auto sent = std::chrono::steady_clock::now();
        const std::string reply = client.readToEnd(10000);
        if (reply == kRefused && client.ended()) return true;
        // Which part went wrong, for the failure's message.
        ADD_FAILURE() << "refused login: " << reply.size() << " reply bytes, "
                      << (client.ended() ? "ended" : "not ended") << " after "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - sent)
                             .count()
                      << " ms; last event: "
                      << (m_tap.events().empty() ? std::string("none") : m_tap.events().back().text);
        return false;
      }
      case Kind::Page: {
        if (!client.send("GET / HTTP/1.0\r\n\r\n")) return false;
        const std::string page = client.readToEnd(10000);
        // Every page already counts every login answered before it.
        return client.ended() && pageNumber(page, "Clients Served") == m_served &&
               pageNumber(page, "Clients Rejected") == 0;
      }
      case Kind::Short: {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(
            1, netLogin::kSize - 1)(m_random);
        if (!client.send(login.substr(0, length))) return false;
        // Half leave politely, half with a reset.
        if (m_random() % 2 == 0) client.reset();
        return true;
      }
      case Kind::Silent:
        // Closed by the daemon when its second is up, without a reply.
        return client.readToEnd(5000).empty() && client.ended();
    }
    return false;
  }

  // A client that leaves first may be gone while the daemon still holds
  // its socket. The daemon works on every ready connection before it
  // accepts the next, and closes a refused one before the client sees the
  // end, so after a refusal it holds nothing of the connections before.
  bool settle() { return connectOnce(Kind::Refused); }

  std::mt19937 m_random;
  long long m_served = 0;
};

TEST_F(Soak, MixedConnectionsLeaveDescriptorsMemoryAndCountersExact) {
  using Clock = std::chrono::steady_clock;
  start();

  // A warm-up settles the allocator, the reaper's thread, the log and the
  // page's buffer before the first figures are taken.
  ASSERT_TRUE(run({200, 100, 100, 100, 0}));
  ASSERT_TRUE(settle());
  ASSERT_TRUE(testing_support::waitUntilAllReaped());
  const int descriptorsBefore = testing_support::openDescriptors();
  const long memoryBefore = testing_support::residentKilobytes();

  const Mix mix{8000 / kScale, 4000 / kScale, 4000 / kScale, 3995 / kScale, 5};
  const Clock::time_point begun = Clock::now();
  ASSERT_TRUE(run(mix));
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  ASSERT_TRUE(settle());
  ASSERT_TRUE(testing_support::waitUntilAllReaped());

  const int descriptorsAfter = testing_support::openDescriptors();
  const long memoryAfter = testing_support::residentKilobytes();
  const int zombies = testing_support::zombieChildren();
  const std::string counted = counters();
  std::printf("soak: %d connections in %.1f s; descriptors %d -> %d; resident %ld kB -> %ld kB;"
              " zombies %d; counters %s (served/rejected), client counted %lld/0\n",
              mix.total(), seconds, descriptorsBefore, descriptorsAfter, memoryBefore,
              memoryAfter, zombies, counted.c_str(), m_served);
  RecordProperty("connections", mix.total());
  RecordProperty("descriptors_start", descriptorsBefore);
  RecordProperty("descriptors_end", descriptorsAfter);
  RecordProperty("rss_kb_start", static_cast<int>(memoryBefore));
  RecordProperty("rss_kb_end", static_cast<int>(memoryAfter));

  EXPECT_EQ(0, zombies);
  EXPECT_EQ(descriptorsBefore, descriptorsAfter);
#if !defined(__SANITIZE_ADDRESS__)
  // (The address sanitizer keeps freed memory in quarantine on purpose.)
  EXPECT_LT(memoryAfter - memoryBefore, 1024);
#endif
  EXPECT_EQ(std::to_string(m_served) + "/0", counted);
  EXPECT_EQ(200 + mix.accepted, m_served);
  // Only the silent clients ran out of time; the cut records ended early.
  std::size_t timeouts = 0;
  const std::string text = log();
  for (std::size_t at = text.find("no complete login record within 1 seconds");
       at != std::string::npos; at = text.find("no complete login record", at + 1)) {
    ++timeouts;
  }
  EXPECT_EQ(static_cast<std::size_t>(mix.silent), timeouts);
}

}  // namespace

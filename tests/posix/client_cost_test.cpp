// What a client the daemon holds costs it: pages nobody reads, a thousand
// connections that send nothing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/descriptors.h"
#include "posix/daemon_process.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::kRefused;
using testing_support::record;

class ClientCost : public testing_support::DaemonProcess {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // A sanitized daemon's time and memory measure the sanitizer.
    GTEST_SKIP() << "costs are not measured under the sanitizers";
#endif
  }
};

TEST_F(ClientCost, PagesNobodyReadsShareOnePageAndGiveTheMemoryBack) {
  // 4 MB of engine environment, so a page of just over 4 MB.
  for (int i = 0; i < 64; ++i) environment("BULK" + std::to_string(i), std::string(65536, 'v'));
  config("SockReceiveTimeout", "3");
  start();
  const long idle = residentKilobytes();
  std::vector<std::unique_ptr<Client>> readers;
  for (int i = 0; i < 64; ++i) {
    readers.push_back(std::make_unique<Client>(m_port, 0x7F000010u + static_cast<std::uint32_t>(i / 8)));
    readers.back()->send("GET / HTTP/1.0\r\n\r\n");
  }
  platform::sleepMs(1000);
  const long during = residentKilobytes();
  readers.clear();
  // Abandoned after their bound, or ended by the close above.
  platform::sleepMs(4000);
  const long after = residentKilobytes();
  EXPECT_LT(during, 64 * 1024) << "idle " << idle << " KB";
  // What stays is the one page they shared, not a page each, and not the
  // settings file the daemon read at its start.
  EXPECT_LT(after, idle + 6 * 1024) << "idle " << idle << " KB";
  EXPECT_LT(after, 16 * 1024) << "idle " << idle << " KB";
  RecordProperty("page_idle_kb", static_cast<int>(idle));
  RecordProperty("page_during_kb", static_cast<int>(during));
  RecordProperty("page_after_kb", static_cast<int>(after));
}

TEST_F(ClientCost, AThousandSilentConnectionsHeldCostUnderTenMegabytes) {
  platform::raiseDescriptorLimit();
  config("SockReceiveTimeout", "30");
  start();
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 1024; ++i) {
    silent.push_back(std::make_unique<Client>(m_port, 0x7F000100u + static_cast<std::uint32_t>(i / 8)));
    ASSERT_TRUE(silent.back()->connected());
  }
  // Every one of them accepted and held.
  int held = 0;
  for (int waited = 0; waited < 5000 && (held = descriptors()) < 1024; waited += 100) {
    platform::sleepMs(100);
  }
  EXPECT_GE(held, 1024);
  const long kilobytes = residentKilobytes();
  EXPECT_LT(kilobytes, 10 * 1024);
  RecordProperty("silent_1024_kb", static_cast<int>(kilobytes));
}

TEST_F(ClientCost, ABlockedAddressLoopingAsFastAsItCanCostsUnderATenthOfACore) {
  // One failure blocks the address for a minute; an account nobody has
  // fails wherever the system's logon looks.
  config("AuthenticationMethod", "logonuser");
  config("LoginFailureLimit", "1");
  config("LoginFailurePenalty", "60");
  start();
  constexpr std::uint32_t kGuesser = 0x7F000002;
  const std::string guess = record("vornd-nobody-4k", "guess");
  {
    Client first(m_port, kGuesser);
    first.send(guess);
    ASSERT_EQ(first.read(2, 15000), kRefused);
  }
  // Refused even when it sends nothing at all.
  {
    Client silent(m_port, kGuesser);
    const Clock::time_point begun = Clock::now();
    EXPECT_EQ(silent.read(2, 3000), kRefused);
    EXPECT_LT(Clock::now() - begun, std::chrono::seconds(1));
  }

  // Eight at a time, each guessing again as soon as its answer came.
  const long ticksBefore = cpuTicks();
  const Clock::time_point begun = Clock::now();
  const Clock::time_point until = begun + std::chrono::seconds(3);
  std::atomic<long> refused{0}, other{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 8; ++i) {
    guessers.emplace_back([&] {
      while (Clock::now() < until) {
        Client client(m_port, kGuesser);
        client.send(guess);
        ++(client.read(2, 3000) == kRefused ? refused : other);
      }
    });
  }
  for (std::thread& guesser : guessers) guesser.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  const double share = static_cast<double>(cpuTicks() - ticksBefore) /
                       static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_LT(share, 0.10) << refused.load() << " refusals in " << seconds << " s";
  RecordProperty("blocked_refusals_per_second", static_cast<int>(refused.load() / seconds));
  RecordProperty("blocked_core_share_percent", static_cast<int>(share * 100));
}

}  // namespace

// What a client the daemon holds costs it: pages nobody reads, a thousand
// connections that send nothing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/descriptors.h"
#include "posix/daemon_process.h"
#include "serving_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Client;

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

}  // namespace

// The wait on many sockets and events together, over real loopback
// connections, through the platform API only: the same cases hold on both
// implementations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/net.h"
#include "platform/socket_wait.h"
#include "platform/sync.h"

namespace {

using platform::kInvalidSocket;
using platform::kWaitFailed;
using platform::kWaitTimeout;
using platform::kWantRead;
using platform::kWantWrite;
using platform::SocketHandle;
using platform::SocketInterest;
using Clock = std::chrono::steady_clock;

long long elapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

class OwnedSocket {
 public:
  explicit OwnedSocket(SocketHandle socket = kInvalidSocket) : m_socket(socket) {}
  ~OwnedSocket() { close(); }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  SocketHandle get() const { return m_socket; }
  void close() {
    if (m_socket != kInvalidSocket) platform::closeSocket(m_socket);
    m_socket = kInvalidSocket;
  }

 private:
  SocketHandle m_socket;
};

class OwnedEvent {
 public:
  OwnedEvent(bool manualReset, bool signalled)
      : m_event(platform::createEvent(manualReset, signalled)) {}
  ~OwnedEvent() { platform::closeEvent(m_event); }
  OwnedEvent(const OwnedEvent&) = delete;
  OwnedEvent& operator=(const OwnedEvent&) = delete;
  platform::EventHandle get() const { return m_event; }

 private:
  platform::EventHandle m_event;
};

// A listener on 127.0.0.1 and the connections made to it.
class Loopback {
 public:
  explicit Loopback(int backlog = 16) : m_listener(platform::createTcpSocket()) {
    EXPECT_NE(m_listener.get(), kInvalidSocket);
    EXPECT_TRUE(platform::bindSocket(m_listener.get(), {platform::kLoopbackAddress, 0}));
    EXPECT_TRUE(platform::listenSocket(m_listener.get(), backlog));
    m_port = platform::localPort(m_listener.get());
    EXPECT_NE(m_port, 0);
  }
  SocketHandle listener() const { return m_listener.get(); }

  // A connected client; its server side waits at the listener.
  SocketHandle connect() const {
    const SocketHandle client = platform::createTcpSocket();
    EXPECT_TRUE(platform::connectSocket(client, {platform::kLoopbackAddress, m_port}));
    return client;
  }

 private:
  OwnedSocket m_listener;
  std::uint16_t m_port = 0;
};

struct Pair {
  explicit Pair(const Loopback& loopback)
      : client(loopback.connect()), server(platform::acceptSocket(loopback.listener(), nullptr)) {
    EXPECT_NE(server.get(), kInvalidSocket);
  }
  OwnedSocket client;
  OwnedSocket server;
};

class SocketWait : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::startSockets(), 0u);
    m_wait = platform::createSocketWait();
    ASSERT_NE(m_wait, nullptr);
  }
  void TearDown() override {
    platform::closeSocketWait(m_wait);
    platform::cleanupSockets();
  }

  // A wait on the given sockets only.
  std::uint32_t waitFor(SocketInterest* sockets, std::size_t count, std::uint32_t timeoutMs) {
    return platform::waitForSocketsOrEvents(m_wait, nullptr, 0, sockets, count, timeoutMs);
  }
  std::uint32_t waitFor(SocketInterest& socket, std::uint32_t timeoutMs) {
    return waitFor(&socket, 1, timeoutMs);
  }

  platform::SocketWait m_wait = nullptr;
};

TEST_F(SocketWait, AListenerIsReadableWhileAConnectionWaitsAndNotOnceItIsTaken) {
  Loopback loopback;
  ASSERT_TRUE(platform::watchSocket(m_wait, loopback.listener()));
  SocketInterest listener{loopback.listener(), kWantRead};
  EXPECT_EQ(waitFor(listener, 50), kWaitTimeout);
  EXPECT_EQ(listener.ready, 0);

  OwnedSocket client(loopback.connect());
  ASSERT_EQ(waitFor(listener, 5000), 0u);
  EXPECT_EQ(listener.ready, kWantRead);
  // Still waiting to be taken: reported again.
  ASSERT_EQ(waitFor(listener, 0), 0u);

  OwnedSocket server(platform::acceptSocket(loopback.listener(), nullptr));
  ASSERT_NE(server.get(), kInvalidSocket);
  EXPECT_EQ(waitFor(listener, 50), kWaitTimeout);
  EXPECT_EQ(listener.ready, 0);
}

TEST_F(SocketWait, DataStaysReadableAtEveryWaitUntilReadAndEndOfStreamIsReadable) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.server.get()));
  SocketInterest server{pair.server.get(), kWantRead};
  EXPECT_EQ(waitFor(server, 50), kWaitTimeout);

  ASSERT_EQ(platform::sendSocket(pair.client.get(), "abc", 3), 3);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(waitFor(server, 5000), 0u) << "round " << round;
    EXPECT_EQ(server.ready, kWantRead) << "round " << round;
  }
  char buffer[16];
  ASSERT_EQ(platform::receiveReady(pair.server.get(), buffer, sizeof buffer), 3);
  EXPECT_EQ(waitFor(server, 50), kWaitTimeout);
  EXPECT_EQ(server.ready, 0);

  // A wait already asleep wakes for what arrives.
  std::thread sender([&] {
    platform::sleepMs(100);
    platform::sendSocket(pair.client.get(), "de", 2);
  });
  const Clock::time_point start = Clock::now();
  const std::uint32_t woke = waitFor(server, 10000);
  const long long waited = elapsedMs(start);
  sender.join();
  ASSERT_EQ(woke, 0u);
  EXPECT_LT(waited, 5000);
  ASSERT_EQ(platform::receiveReady(pair.server.get(), buffer, sizeof buffer), 2);

  ASSERT_TRUE(platform::shutdownSend(pair.client.get()));
  ASSERT_EQ(waitFor(server, 5000), 0u);
  EXPECT_EQ(server.ready, kWantRead);
  EXPECT_EQ(platform::receiveReady(pair.server.get(), buffer, sizeof buffer), 0);
  // The end stays readable too.
  ASSERT_EQ(waitFor(server, 0), 0u);
}

TEST_F(SocketWait, AFullSendBufferIsNotWritableUntilThePeerReads) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.client.get()));
  SocketInterest client{pair.client.get(), kWantWrite};
  ASSERT_EQ(waitFor(client, 5000), 0u);
  EXPECT_EQ(client.ready, kWantWrite);

  std::vector<char> chunk(64 * 1024, 'x');
  long long total = 0;
  int sent = 0;
  // Loopback buffers hold a few megabytes at most.
  for (int i = 0; i < 4096; ++i) {
    sent = platform::sendReady(pair.client.get(), chunk.data(), static_cast<int>(chunk.size()));
    if (sent == platform::kSocketError) break;
    total += sent;
  }
  ASSERT_EQ(sent, platform::kSocketError) << "the send buffer never filled";
  ASSERT_EQ(platform::lastSocketError(), platform::kWsaWouldBlock);
  ASSERT_GT(total, 0);
  EXPECT_EQ(waitFor(client, 100), kWaitTimeout);
  EXPECT_EQ(client.ready, 0);

  // A wait that wants both reports only what is so.
  client.want = kWantRead | kWantWrite;
  EXPECT_EQ(waitFor(client, 50), kWaitTimeout);
  client.want = kWantWrite;

  std::thread reader([&] {
    platform::sleepMs(100);
    std::vector<char> sink(64 * 1024);
    long long got = 0;
    while (got < total) {
      const int n = platform::receiveSocket(pair.server.get(), sink.data(),
                                            static_cast<int>(sink.size()));
      if (n <= 0) break;
      got += n;
    }
  });
  // Woken by the room made, not found by a last look at the end of the
  // time.
  const Clock::time_point start = Clock::now();
  const std::uint32_t woke = waitFor(client, 10000);
  const long long waited = elapsedMs(start);
  reader.join();
  ASSERT_EQ(woke, 0u);
  EXPECT_EQ(client.ready, kWantWrite);
  EXPECT_LT(waited, 5000);
}

TEST_F(SocketWait, AGatheredSendLeavesItsRunsInOrderInOneCall) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.client.get()));
  const std::string large(100 * 1000, 'L');
  const std::string_view runs[] = {"head ", "", large, " tail"};
  const int sent = platform::sendReadyGathered(pair.client.get(), runs, 4);
  ASSERT_GT(sent, 0);
  std::string expected = std::string("head ") + large + " tail";
  expected.resize(static_cast<std::size_t>(sent));
  std::string got(expected.size(), '\0');
  for (std::size_t at = 0; at < got.size();) {
    const int n = platform::receiveSocket(pair.server.get(), got.data() + at,
                                          static_cast<int>(got.size() - at));
    ASSERT_GT(n, 0);
    at += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(got, expected);
  // Nothing to send is no error; more runs than one call takes is.
  EXPECT_EQ(platform::sendReadyGathered(pair.client.get(), runs, 0), 0);
  const std::vector<std::string_view> many(17, "x");
  EXPECT_EQ(platform::sendReadyGathered(pair.client.get(), many.data(), 17),
            platform::kSocketError);
  ASSERT_TRUE(platform::unwatchSocket(m_wait, pair.client.get()));
}

TEST_F(SocketWait, EventsWinOverReadySocketsAndAutoResetOnesAreConsumed) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.server.get()));
  ASSERT_EQ(platform::sendSocket(pair.client.get(), "x", 1), 1);
  SocketInterest server{pair.server.get(), kWantRead};
  ASSERT_EQ(waitFor(server, 5000), 0u);

  OwnedEvent manual(true, false);
  OwnedEvent automatic(false, false);
  ASSERT_NE(manual.get(), nullptr);
  ASSERT_NE(automatic.get(), nullptr);
  const platform::EventHandle events[2] = {manual.get(), automatic.get()};
  auto wait = [&](std::uint32_t timeoutMs) {
    return platform::waitForSocketsOrEvents(m_wait, events, 2, &server, 1, timeoutMs);
  };

  EXPECT_EQ(wait(0), 2u);  // no event: the sockets
  EXPECT_EQ(server.ready, kWantRead);

  ASSERT_TRUE(platform::setEvent(automatic.get()));
  EXPECT_EQ(wait(0), 1u);
  EXPECT_EQ(wait(0), 2u) << "the auto-reset event was not consumed";

  ASSERT_TRUE(platform::setEvent(manual.get()));
  ASSERT_TRUE(platform::setEvent(automatic.get()));
  EXPECT_EQ(wait(0), 0u);  // the lowest index first
  EXPECT_EQ(wait(0), 0u);  // a manual-reset event stays
  ASSERT_TRUE(platform::resetEvent(manual.get()));
  EXPECT_EQ(wait(0), 1u);  // the automatic one was left for this wait
  EXPECT_EQ(wait(0), 2u);
}

TEST_F(SocketWait, TimesOutInAboutTheTimeAskedAndAnEventWakesAWaitInProgress) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.server.get()));
  SocketInterest server{pair.server.get(), kWantRead};
  OwnedEvent stop(false, false);
  const platform::EventHandle events[1] = {stop.get()};

  Clock::time_point start = Clock::now();
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, events, 1, &server, 1, 300), kWaitTimeout);
  const long long waited = elapsedMs(start);
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 2000);

  // No sockets at all is a plain wait on the events.
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, events, 1, nullptr, 0, 20), kWaitTimeout);

  std::thread setter([&] {
    platform::sleepMs(100);
    platform::setEvent(stop.get());
  });
  start = Clock::now();
  const std::uint32_t woke =
      platform::waitForSocketsOrEvents(m_wait, events, 1, &server, 1, platform::kInfinite);
  setter.join();
  EXPECT_EQ(woke, 0u);
  EXPECT_LT(elapsedMs(start), 4000);
}

TEST_F(SocketWait, FindsTheOneReadySocketAmongTwoHundred) {
  constexpr std::size_t kPairs = 200;
  Loopback loopback(static_cast<int>(kPairs));
  std::vector<std::unique_ptr<Pair>> pairs;
  std::vector<SocketInterest> interests;
  for (std::size_t i = 0; i < kPairs; ++i) {
    pairs.push_back(std::make_unique<Pair>(loopback));
    ASSERT_NE(pairs.back()->server.get(), kInvalidSocket) << "pair " << i;
    ASSERT_TRUE(platform::watchSocket(m_wait, pairs.back()->server.get())) << "pair " << i;
    interests.push_back({pairs.back()->server.get(), kWantRead});
  }
  EXPECT_EQ(waitFor(interests.data(), kPairs, 50), kWaitTimeout);

  auto expectOnlyReady = [&](std::size_t which) {
    for (std::size_t i = 0; i < kPairs; ++i) {
      EXPECT_EQ(interests[i].ready, i == which ? kWantRead : 0) << "socket " << i;
    }
  };
  ASSERT_EQ(platform::sendSocket(pairs[137]->client.get(), "!", 1), 1);
  ASSERT_EQ(waitFor(interests.data(), kPairs, 5000), 0u);
  expectOnlyReady(137);
  char byte;
  ASSERT_EQ(platform::receiveReady(pairs[137]->server.get(), &byte, 1), 1);

  // Far past the 64th socket, and arriving while the wait sleeps.
  std::thread sender([&] {
    platform::sleepMs(100);
    platform::sendSocket(pairs[190]->client.get(), "?", 1);
  });
  const Clock::time_point start = Clock::now();
  const std::uint32_t woke = waitFor(interests.data(), kPairs, 10000);
  const long long waited = elapsedMs(start);
  sender.join();
  ASSERT_EQ(woke, 0u);
  EXPECT_LT(waited, 5000);
  expectOnlyReady(190);

  // A socket wanted for nothing is left out even when it is ready.
  interests[190].want = 0;
  EXPECT_EQ(waitFor(interests.data(), kPairs, 50), kWaitTimeout);
  EXPECT_EQ(interests[190].ready, 0);
  // So is one left out of the wait altogether, until it is asked about
  // again.
  interests[190].want = kWantRead;
  EXPECT_EQ(waitFor(interests.data(), 190, 50), kWaitTimeout);
  ASSERT_EQ(waitFor(interests.data(), kPairs, 5000), 0u);
  expectOnlyReady(190);
}

TEST_F(SocketWait, SocketsClosedWhileWatchedLeaveNothingBehindForTheNextOnes) {
  Loopback loopback;
  // Closed without being unwatched, as the loop closes a connection; the
  // next ones may well be given the same numbers.
  for (int round = 0; round < 4; ++round) {
    Pair pair(loopback);
    ASSERT_TRUE(platform::watchSocket(m_wait, pair.server.get()));
    ASSERT_TRUE(platform::watchSocket(m_wait, pair.client.get()));
    SocketInterest both[2] = {{pair.server.get(), kWantRead}, {pair.client.get(), kWantRead}};
    EXPECT_EQ(waitFor(both, 2, 20), kWaitTimeout) << "round " << round;
    ASSERT_EQ(platform::sendSocket(pair.client.get(), "x", 1), 1);
    ASSERT_EQ(waitFor(both, 2, 5000), 0u) << "round " << round;
    EXPECT_EQ(both[0].ready, kWantRead) << "round " << round;
    EXPECT_EQ(both[1].ready, 0) << "round " << round;
    ASSERT_EQ(platform::sendSocket(pair.server.get(), "y", 1), 1);
    char byte;
    ASSERT_EQ(platform::receiveReady(pair.server.get(), &byte, 1), 1);
    ASSERT_EQ(waitFor(both, 2, 5000), 0u) << "round " << round;
    EXPECT_EQ(both[0].ready, 0) << "round " << round;
    EXPECT_EQ(both[1].ready, kWantRead) << "round " << round;
  }
}

TEST_F(SocketWait, BadArgumentsFailWithAnError) {
  Loopback loopback;
  SocketInterest listener{loopback.listener(), kWantRead};
  OwnedEvent event(true, false);

  EXPECT_EQ(platform::waitForSocketsOrEvents(nullptr, nullptr, 0, &listener, 1, 0), kWaitFailed);
  EXPECT_EQ(platform::lastSocketError(), platform::kErrorInvalidParameter);

  const platform::EventHandle withNull[2] = {event.get(), nullptr};
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, withNull, 2, &listener, 1, 0), kWaitFailed);
  EXPECT_NE(platform::lastSocketError(), 0u);
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, nullptr, 1, &listener, 1, 0), kWaitFailed);
  EXPECT_EQ(platform::lastSocketError(), platform::kErrorInvalidParameter);

  // One slot of the system's wait belongs to the sockets.
  std::vector<std::unique_ptr<OwnedEvent>> owned;
  std::vector<platform::EventHandle> tooMany;
  for (std::size_t i = 0; i < platform::kMaximumWaitObjects; ++i) {
    owned.push_back(std::make_unique<OwnedEvent>(true, false));
    tooMany.push_back(owned.back()->get());
  }
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, tooMany.data(), tooMany.size(), &listener, 1,
                                             0),
            kWaitFailed);
  EXPECT_EQ(platform::lastSocketError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, tooMany.data(), tooMany.size() - 1,
                                             &listener, 1, 0),
            kWaitTimeout);

  EXPECT_FALSE(platform::watchSocket(nullptr, loopback.listener()));
  EXPECT_NE(platform::lastSocketError(), 0u);
  EXPECT_FALSE(platform::watchSocket(m_wait, kInvalidSocket));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaNotSocket);
}

TEST_F(SocketWait, AClosedSocketDoesNotHangTheWait) {
  Loopback loopback;
  Pair pair(loopback);
  ASSERT_TRUE(platform::watchSocket(m_wait, pair.server.get()));
  SocketInterest server{pair.server.get(), kWantRead};
  pair.server.close();

  const Clock::time_point start = Clock::now();
  platform::setLastError(0);
  const std::uint32_t result = waitFor(server, 3000);
  EXPECT_LT(elapsedMs(start), 2000);
  if (result == kWaitFailed) {
    EXPECT_NE(platform::lastSocketError(), 0u);
  } else {
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(server.ready, platform::kReadyInvalid);
  }
}

TEST_F(SocketWait, AnUnwatchedSocketCanBlockAgain) {
  Loopback loopback;
  ASSERT_TRUE(platform::watchSocket(m_wait, loopback.listener()));
  OwnedSocket client(loopback.connect());
  SocketInterest listener{loopback.listener(), kWantRead};
  ASSERT_EQ(waitFor(listener, 5000), 0u);
  // Taken from a watched listener, as the daemon takes a client it hands
  // to a child process.
  OwnedSocket server(platform::acceptSocket(loopback.listener(), nullptr));
  ASSERT_NE(server.get(), kInvalidSocket);

  ASSERT_TRUE(platform::unwatchSocket(m_wait, server.get()));
  ASSERT_TRUE(platform::setBlocking(server.get(), true));
  std::thread sender([&] {
    platform::sleepMs(200);
    platform::sendSocket(client.get(), "late", 4);
  });
  const Clock::time_point start = Clock::now();
  char buffer[8];
  const int got = platform::receiveSocket(server.get(), buffer, sizeof buffer);
  const long long waited = elapsedMs(start);
  sender.join();
  ASSERT_EQ(got, 4);
  EXPECT_EQ(std::memcmp(buffer, "late", 4), 0);
  EXPECT_GE(waited, 150) << "the receive did not wait";

  // A watched socket leaves the same way.
  ASSERT_TRUE(platform::watchSocket(m_wait, client.get()));
  ASSERT_TRUE(platform::unwatchSocket(m_wait, client.get()));
  EXPECT_TRUE(platform::setBlocking(client.get(), true));
}

}  // namespace

// The Windows side of the wait on many sockets: what the event selection
// under it must not do (keep the waiting thread busy, leave an accepted
// socket stuck in non-blocking mode).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "platform/net.h"
#include "platform/socket_wait.h"

namespace {

using platform::kInvalidSocket;
using platform::kWaitTimeout;
using platform::kWantRead;
using platform::kWantWrite;
using platform::SocketHandle;
using platform::SocketInterest;

// CPU time of the calling thread, user and kernel, in milliseconds.
long long threadCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
  auto toMs = [](const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<long long>(value.QuadPart / 10000);
  };
  return toMs(kernel) + toMs(user);
}

class Win32SocketWait : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::startSockets(), 0u);
    m_wait = platform::createSocketWait();
    ASSERT_NE(m_wait, nullptr);
    m_listener = platform::createTcpSocket();
    ASSERT_TRUE(platform::bindSocket(m_listener, {platform::kLoopbackAddress, 0}));
    ASSERT_TRUE(platform::listenSocket(m_listener, 8));
    m_port = platform::localPort(m_listener);
  }
  void TearDown() override {
    for (SocketHandle socket : m_sockets) platform::closeSocket(socket);
    platform::closeSocket(m_listener);
    platform::closeSocketWait(m_wait);
    platform::cleanupSockets();
  }

  // A connection to the listener: the client end, and the server end in *server.
  SocketHandle connect(SocketHandle* server) {
    const SocketHandle client = platform::createTcpSocket();
    EXPECT_TRUE(platform::connectSocket(client, {platform::kLoopbackAddress, m_port}));
    *server = platform::acceptSocket(m_listener, nullptr);
    EXPECT_NE(*server, kInvalidSocket);
    m_sockets.push_back(client);
    m_sockets.push_back(*server);
    return client;
  }

  platform::SocketWait m_wait = nullptr;
  SocketHandle m_listener = kInvalidSocket;
  std::uint16_t m_port = 0;
  std::vector<SocketHandle> m_sockets;
};

TEST_F(Win32SocketWait, AWaitWithNothingReadySleepsInsteadOfSpinning) {
  // Each socket is in some other state than the one it is wanted for:
  // writable but wanted for reading, holding unread data but wanted for
  // writing with a full send buffer, and a listener with nothing pending.
  SocketHandle idleServer;
  connect(&idleServer);
  SocketHandle fullServer;
  const SocketHandle fullClient = connect(&fullServer);
  ASSERT_TRUE(platform::watchSocket(m_wait, idleServer));
  ASSERT_TRUE(platform::watchSocket(m_wait, fullClient));
  ASSERT_TRUE(platform::watchSocket(m_wait, m_listener));
  std::vector<char> chunk(64 * 1024, 'x');
  int sent = 0;
  for (int i = 0; i < 4096 && sent != platform::kSocketError; ++i) {
    sent = platform::sendReady(fullClient, chunk.data(), static_cast<int>(chunk.size()));
  }
  ASSERT_EQ(platform::lastSocketError(), platform::kWsaWouldBlock);
  ASSERT_EQ(platform::sendSocket(fullServer, "in", 2), 2);
  platform::sleepMs(50);

  SocketInterest sockets[3] = {
      {idleServer, kWantRead}, {fullClient, kWantWrite}, {m_listener, kWantRead}};
  const long long before = threadCpuMs();
  ASSERT_GE(before, 0);
  EXPECT_EQ(platform::waitForSocketsOrEvents(m_wait, nullptr, 0, sockets, 3, 600), kWaitTimeout);
  const long long busy = threadCpuMs() - before;
  // Idle, the wait costs next to nothing; one that spins costs a good
  // part of its 600 ms here even with much of the work in Wine's server.
  EXPECT_LT(busy, 60) << "the wait kept the processor busy for " << busy << " ms";
}

TEST_F(Win32SocketWait, AnAcceptedSocketCanBlockOnlyOnceUnwatched) {
  ASSERT_TRUE(platform::watchSocket(m_wait, m_listener));
  SocketHandle server;
  connect(&server);
  // It came with the listener's selection, and with it non-blocking mode.
  EXPECT_FALSE(platform::setBlocking(server, true));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaInvalidArgument);
  ASSERT_TRUE(platform::unwatchSocket(m_wait, server));
  EXPECT_TRUE(platform::setBlocking(server, true));
}

}  // namespace

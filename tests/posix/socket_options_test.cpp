// The options a daemon sets on every accepted socket are set on the first
// for real; later sockets take them over from the listener. What matters is
// that every socket ends up with the options asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <vector>

#include "platform/net.h"

namespace {

int option(platform::SocketHandle socket, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  getsockopt(static_cast<int>(socket), level, name, &value, &length);
  return value;
}

TEST(SocketOptions, EveryAcceptedSocketEndsUpWithWhatWasAsked) {
  const platform::SocketHandle listener = platform::createTcpSocket();
  platform::Ipv4Endpoint local;
  local.address = platform::kLoopbackAddress;
  ASSERT_TRUE(platform::bindSocket(listener, local));
  ASSERT_TRUE(platform::listenSocket(listener, 5));
  platform::Ipv4Endpoint remote;
  remote.address = platform::kLoopbackAddress;
  remote.port = platform::localPort(listener);

  std::vector<platform::SocketHandle> open;
  auto acceptOne = [&]() {
    const platform::SocketHandle client = platform::createTcpSocket();
    EXPECT_TRUE(platform::connectSocket(client, remote));
    open.push_back(client);
    const platform::SocketHandle accepted = platform::acceptSocket(listener, nullptr);
    EXPECT_NE(platform::kInvalidSocket, accepted);
    return accepted;
  };
  auto expectAsked = [](platform::SocketHandle s, int noDelay) {
    EXPECT_EQ(noDelay, option(s, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(1, option(s, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(300, option(s, IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(60, option(s, IPPROTO_TCP, TCP_KEEPINTVL));
    EXPECT_EQ(8, option(s, IPPROTO_TCP, TCP_KEEPCNT));
  };

  for (int round = 0; round < 3; ++round) {
    const platform::SocketHandle accepted = acceptOne();
    ASSERT_TRUE(platform::setNoDelay(accepted, true));
    ASSERT_TRUE(platform::setKeepAliveTiming(accepted, 300, 60, 8));
    expectAsked(accepted, 1);
    platform::closeSocket(accepted);  // its number may come back next round
  }
  // An accepted socket starts blocking; a change of mode is really made.
  const platform::SocketHandle mode = acceptOne();
  auto nonBlocking = [](platform::SocketHandle s) {
    return (fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK) != 0;
  };
  ASSERT_TRUE(platform::setBlocking(mode, true));
  EXPECT_FALSE(nonBlocking(mode));
  ASSERT_TRUE(platform::setBlocking(mode, false));
  EXPECT_TRUE(nonBlocking(mode));
  ASSERT_TRUE(platform::setBlocking(mode, true));
  EXPECT_FALSE(nonBlocking(mode));
  platform::closeSocket(mode);

  // A value different from what the listener hands down is really set.
  const platform::SocketHandle other = acceptOne();
  ASSERT_TRUE(platform::setNoDelay(other, false));
  ASSERT_TRUE(platform::setKeepAliveTiming(other, 300, 60, 8));
  expectAsked(other, 0);
  platform::closeSocket(other);

  for (platform::SocketHandle client : open) platform::closeSocket(client);
  platform::closeSocket(listener);
}

}  // namespace

// The socket wrapper and the sockets facility under it, on the loopback
// interface only, at ports the system picks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/net.h"
#include "platform/sync.h"
#include "session/socket.h"

namespace {

using platform::Ipv4Endpoint;
using platform::kInvalidSocket;
using platform::kLoopbackAddress;

class Sockets : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(platform::startSockets(), 0u); }
  void TearDown() override { platform::cleanupSockets(); }
};

// A listening socket on 127.0.0.1.
class LoopbackListener {
 public:
  LoopbackListener() : m_socket(platform::createTcpSocket()) {
    EXPECT_NE(m_socket.Handle(), kInvalidSocket);
    EXPECT_TRUE(platform::bindSocket(m_socket.Handle(), Ipv4Endpoint{kLoopbackAddress, 0}));
    EXPECT_TRUE(platform::listenSocket(m_socket.Handle(), 5));
    m_port = platform::localPort(m_socket.Handle());
    EXPECT_NE(m_port, 0);
  }
  CSocket& socket() { return m_socket; }
  std::uint16_t port() const { return m_port; }

 private:
  CSocket m_socket;
  std::uint16_t m_port = 0;
};

struct ConnectedPair {
  ConnectedPair() {
    client.Connect("127.0.0.1", listener.port());
    server = listener.socket().Accept();
    EXPECT_NE(server, nullptr);
  }
  LoopbackListener listener;
  CSocket client;
  std::unique_ptr<CSocket> server;
};

// Everything the peer sends until it ends the stream.
std::string readToEnd(CSocket& socket) {
  std::string all;
  char chunk[64];
  int got;
  while ((got = socket.Read(chunk, sizeof chunk)) > 0) all.append(chunk, got);
  return all;
}

void expectConnectError(const char* host, std::uint16_t port, const std::string& message) {
  CSocket socket;
  try {
    socket.Connect(host, port);
    ADD_FAILURE() << "Connect(" << (host ? host : "null") << ") did not throw";
  } catch (const CSocketException& error) {
    EXPECT_EQ(error.what(), message);
  }
}

TEST_F(Sockets, ReceiveOfAShortRecordGivesZeroAndKeepsWhatArrived) {
  ConnectedPair pair;
  ASSERT_EQ(pair.client.Send("abcd"), 4);
  pair.client.Close();

  char buffer[6];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(pair.server->Receive(buffer, 6), 0);
  EXPECT_EQ(std::string(buffer, 6), "abcdxx");
}

TEST_F(Sockets, ReceiveGathersPiecesAndACountOfZeroReadsNothing) {
  ConnectedPair pair;
  ASSERT_EQ(pair.client.Send("abc"), 3);
  ASSERT_EQ(pair.client.Send("defg"), 4);

  char buffer[8] = {};
  EXPECT_EQ(pair.server->Receive(buffer, 0), 0);
  EXPECT_EQ(pair.server->Receive(buffer, -1), 0);
  EXPECT_EQ(pair.server->Receive(buffer, 6), 6);
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
  EXPECT_EQ(pair.server->Receive(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 'g');
}

TEST_F(Sockets, EmptyReadsAndSendsAreRefusedAndShutdownEndsOnlyTheSendingSide) {
  ConnectedPair pair;
  char buffer[4];
  EXPECT_EQ(pair.server->Read(nullptr, 4), -1);
  EXPECT_EQ(pair.server->Read(buffer, 0), -1);
  EXPECT_EQ(pair.client.Send(std::string()), -1);
  EXPECT_EQ(pair.client.Send(nullptr, 3), -1);
  EXPECT_EQ(pair.client.Send(std::string("xy")), 2);
  pair.client.Shutdown();

  // Nothing from the refused sends, no terminator after "xy".
  EXPECT_EQ(readToEnd(*pair.server), "xy");
  ASSERT_EQ(pair.server->Send("ok", 2), 2);
  EXPECT_EQ(pair.client.Receive(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

TEST_F(Sockets, CloseClosesOnceAndLaterCallsLeaveOtherSocketsAlone) {
  auto first = std::make_unique<CSocket>(platform::createTcpSocket());
  ASSERT_NE(first->Handle(), kInvalidSocket);
  first->Close();
  EXPECT_EQ(first->Handle(), kInvalidSocket);

  // Likely to get the number just released.
  CSocket second(platform::createTcpSocket());
  ASSERT_NE(second.Handle(), kInvalidSocket);
  first->Close();
  first->Shutdown();
  first.reset();

  EXPECT_TRUE(platform::bindSocket(second.Handle(), Ipv4Endpoint{kLoopbackAddress, 0}))
      << platform::lastSocketError();
  EXPECT_NE(platform::localPort(second.Handle()), 0);
}

TEST_F(Sockets, ConnectReachesDottedAndNamedHosts) {
  LoopbackListener listener;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    CSocket client;
    EXPECT_EQ(&client.Connect(host, listener.port()), &client);
    std::unique_ptr<CSocket> server = listener.socket().Accept();
    ASSERT_NE(server, nullptr) << host;
    ASSERT_EQ(client.Send(host), static_cast<int>(std::strlen(host)));
    client.Close();
    EXPECT_EQ(readToEnd(*server), host);
  }
}

TEST_F(Sockets, ConnectFailuresRaiseTheirMessages) {
  expectConnectError(nullptr, 1, "Invalid parameters");
  expectConnectError("no-such-host.invalid", 1, "Unable to solve this address");

  // Bound but not listening: refused at once, and the port stays ours.
  CSocket idle(platform::createTcpSocket());
  ASSERT_TRUE(platform::bindSocket(idle.Handle(), Ipv4Endpoint{kLoopbackAddress, 0}));
  expectConnectError("127.0.0.1", platform::localPort(idle.Handle()), "connect( ) failed");

  // The failed connect's socket stays with the object.
  CSocket client;
  EXPECT_THROW(client.Connect("127.0.0.1", platform::localPort(idle.Handle())),
               CSocketException);
  EXPECT_NE(client.Handle(), kInvalidSocket);
  EXPECT_FALSE(platform::connectSocket(
      client.Handle(), Ipv4Endpoint{kLoopbackAddress, platform::localPort(idle.Handle())}));
}

TEST_F(Sockets, AcceptOnAClosedSocketGivesNull) {
  CSocket closed;
  EXPECT_EQ(closed.Accept(), nullptr);
}

TEST_F(Sockets, ConnectionRefusedAndAddressInUseCarryTheirWinsockCodes) {
  CSocket idle(platform::createTcpSocket());
  ASSERT_TRUE(platform::bindSocket(idle.Handle(), Ipv4Endpoint{kLoopbackAddress, 0}));
  const Ipv4Endpoint taken{kLoopbackAddress, platform::localPort(idle.Handle())};

  CSocket client(platform::createTcpSocket());
  EXPECT_FALSE(platform::connectSocket(client.Handle(), taken));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaConnectionRefused);

  CSocket second(platform::createTcpSocket());
  EXPECT_FALSE(platform::bindSocket(second.Handle(), taken));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaAddressInUse);

  EXPECT_FALSE(platform::setNoDelay(kInvalidSocket, true));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaNotSocket);
}

TEST_F(Sockets, ListenWithoutABoundAddressFails) {
  CSocket unbound(platform::createTcpSocket());
  EXPECT_FALSE(platform::listenSocket(unbound.Handle(), 5));
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaInvalidArgument);
}

TEST_F(Sockets, ClientOptionsApplyToAConnectedSocket) {
  ConnectedPair pair;
  platform::SocketHandle handle = pair.server->Handle();
  EXPECT_TRUE(platform::setNoDelay(handle, true)) << platform::lastSocketError();
  EXPECT_TRUE(platform::setKeepAlive(handle, true)) << platform::lastSocketError();
  EXPECT_TRUE(platform::setKeepAliveTiming(handle, 300, 60, 8)) << platform::lastSocketError();
  EXPECT_TRUE(platform::setBlocking(handle, true)) << platform::lastSocketError();
  ASSERT_EQ(pair.client.Send("k"), 1);
  char byte = 0;
  EXPECT_EQ(pair.server->Receive(&byte, 1), 1);
}

TEST_F(Sockets, DottedTextAndNameLookup) {
  std::uint32_t address = 0;
  EXPECT_TRUE(platform::parseDottedIpv4("127.0.0.1", &address));
  EXPECT_EQ(address, kLoopbackAddress);
  EXPECT_TRUE(platform::parseDottedIpv4("10.1.2.3", &address));
  EXPECT_EQ(address, 0x0A010203u);
  EXPECT_FALSE(platform::parseDottedIpv4("localhost", &address));
  EXPECT_FALSE(platform::parseDottedIpv4("1.2.3.256", &address));

  address = 0;
  EXPECT_TRUE(platform::lookupHostIpv4("localhost", &address)) << platform::lastSocketError();
  EXPECT_EQ(address >> 24, 127u);
  EXPECT_FALSE(platform::lookupHostIpv4("no-such-host.invalid", &address));
  EXPECT_NE(platform::lastSocketError(), 0u);
}

TEST_F(Sockets, BoundedWaitForDataTimesOutOnASilentPeer) {
  ConnectedPair pair;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(platform::waitUntilReadable(pair.server->Handle(), 200), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  ASSERT_EQ(pair.client.Send("z"), 1);
  EXPECT_EQ(platform::waitUntilReadable(pair.server->Handle(), platform::kInfinite), 1);
  pair.client.Close();
  char buffer[2];
  EXPECT_EQ(pair.server->Read(buffer, 2), 1);
  // The end of the stream counts as readable too.
  EXPECT_EQ(platform::waitUntilReadable(pair.server->Handle(), 5000), 1);
  EXPECT_EQ(pair.server->Read(buffer, 2), 0);

  EXPECT_EQ(platform::waitUntilReadable(kInvalidSocket, 0), platform::kSocketError);
}

TEST_F(Sockets, SendingToAPeerThatHasGoneFailsWithoutKillingTheProcess) {
  ConnectedPair pair;
  pair.server->Close();
  const std::string block(1024, 'b');
  // The first send draws the reset; one of the next ones reports it.
  int result = 0;
  for (int attempt = 0; attempt < 50 && result != platform::kSocketError; ++attempt) {
    result = pair.client.Send(block);
    if (result != platform::kSocketError) platform::sleepMs(10);
  }
  ASSERT_EQ(result, platform::kSocketError);
  const platform::ErrorCode code = platform::lastSocketError();
  EXPECT_TRUE(code == 10053 || code == 10054 || code == 10058) << code;
}

// The listener's wait, with the control event as a daemon would hold it.
class AcceptWait : public Sockets {
 protected:
  void SetUp() override {
    Sockets::SetUp();
    m_control = platform::createEvent(false, false);
    m_accept = platform::createAcceptEvent();
    ASSERT_NE(m_control, nullptr);
    ASSERT_NE(m_accept, nullptr);
  }
  void TearDown() override {
    platform::closeAcceptEvent(m_accept);
    platform::closeEvent(m_control);
    Sockets::TearDown();
  }
  std::uint32_t wait() { return platform::waitForControlOrConnection(m_control, m_accept); }
  // Sets the control event from another thread, most likely while wait()
  // is already blocked, so that a wrongly reported connection shows.
  std::uint32_t waitWithControlSetLater() {
    std::thread setter([this] {
      platform::sleepMs(100);
      platform::setEvent(m_control);
    });
    std::uint32_t result = wait();
    setter.join();
    return result;
  }

  platform::EventHandle m_control = nullptr;
  platform::AcceptEventHandle m_accept = nullptr;
};

TEST_F(AcceptWait, ReportsConnectionsAndPutsTheControlEventFirst) {
  LoopbackListener listener;
  const platform::SocketHandle listening = listener.socket().Handle();
  ASSERT_TRUE(platform::selectAcceptEvent(listening, m_accept)) << platform::lastSocketError();
  // Selected, the listener no longer blocks an accept.
  EXPECT_EQ(platform::acceptSocket(listening, nullptr), kInvalidSocket);
  EXPECT_EQ(platform::lastSocketError(), platform::kWsaWouldBlock);

  CSocket client;
  client.Connect("127.0.0.1", listener.port());
  EXPECT_EQ(wait(), 1u);

  ASSERT_TRUE(platform::setEvent(m_control));
  EXPECT_EQ(wait(), 0u);
  // The auto-reset control event was consumed by the wait.
  EXPECT_EQ(platform::waitForEvent(m_control, 0), platform::kWaitTimeout);
  EXPECT_EQ(wait(), 1u);

  ASSERT_TRUE(platform::resetAcceptEvent(m_accept));
  Ipv4Endpoint peer;
  CSocket accepted(platform::acceptSocket(listening, &peer));
  ASSERT_NE(accepted.Handle(), kInvalidSocket) << platform::lastSocketError();
  EXPECT_EQ(peer.address, kLoopbackAddress);
  EXPECT_EQ(peer.port, platform::localPort(client.Handle()));
  EXPECT_TRUE(platform::cancelEventSelection(accepted.Handle(), m_accept))
      << platform::lastSocketError();
  EXPECT_TRUE(platform::setBlocking(accepted.Handle(), true)) << platform::lastSocketError();
  ASSERT_EQ(client.Send("hi"), 2);
  char buffer[2];
  EXPECT_EQ(accepted.Receive(buffer, 2), 2);

  // The only connection has been taken: nothing but the control event.
  EXPECT_EQ(waitWithControlSetLater(), 0u);
}

TEST_F(AcceptWait, ASocketThatNeverListenedNeverReportsAConnection) {
  // As after a failed bind: the listen fails and the selection stands.
  CSocket unbound(platform::createTcpSocket());
  EXPECT_FALSE(platform::listenSocket(unbound.Handle(), 5));
  EXPECT_TRUE(platform::selectAcceptEvent(unbound.Handle(), m_accept));
  EXPECT_EQ(waitWithControlSetLater(), 0u);
}

TEST_F(AcceptWait, NullHandlesFail) {
  EXPECT_EQ(platform::waitForControlOrConnection(nullptr, m_accept), platform::kWaitFailed);
  EXPECT_EQ(platform::waitForControlOrConnection(m_control, nullptr), platform::kWaitFailed);
}

}  // namespace

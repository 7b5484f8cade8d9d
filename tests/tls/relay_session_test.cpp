#include "tls_fixture.h"

namespace tls_testing {
namespace {

class TlsSession : public RelayTest {};

TEST_F(TlsSession, RelaysLargeTransfersBothWaysAndEndsWithCloseNotify) {
  startMaster(10);
  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  std::istringstream status(session->status);
  std::string ok, protocol, cipher, extra;
  status >> ok >> protocol >> cipher >> extra;
  EXPECT_EQ(ok, "ok");
  EXPECT_EQ(protocol, "TLSv1.3");
  EXPECT_FALSE(cipher.empty());
  EXPECT_EQ(extra, "") << "a subject without a client certificate";

  const int inner = session->sockets.inner.get();
  const std::string up = patternBytes(1 << 20, 1), down = patternBytes(1 << 20, 2);
  bool wrote = false;
  std::thread writer([&] { wrote = session->client->write(up); });
  const std::string arrived = readExactly(inner, up.size());
  writer.join();
  EXPECT_TRUE(wrote);
  EXPECT_TRUE(arrived == up) << "client to daemon: " << arrived.size() << " bytes";

  writer = std::thread([&] { wrote = writeAll(inner, down); });
  const std::string received = session->client->read(down.size());
  writer.join();
  EXPECT_TRUE(wrote);
  EXPECT_TRUE(received == down) << "daemon to client: " << received.size() << " bytes";

  ASSERT_TRUE(writeAll(inner, "last words"));
  session->sockets.inner.reset();
  bool closeNotify = false;
  EXPECT_EQ(session->client->read(1 << 16, &closeNotify), "last words");
  EXPECT_TRUE(closeNotify);
}

// The client's close_notify reaches the daemon as the end of its stream,
// and the daemon can still answer.
TEST_F(TlsSession, ClientCloseHalfClosesTheDaemonsStream) {
  startMaster(10);
  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->client->write("request"));
  session->client->sendCloseNotify();
  const int inner = session->sockets.inner.get();
  EXPECT_EQ(readToEnd(inner), std::optional<std::string>("request"));
  ASSERT_TRUE(writeAll(inner, "answer"));
  session->sockets.inner.reset();
  bool closeNotify = false;
  EXPECT_EQ(session->client->read(1 << 16, &closeNotify), "answer");
  EXPECT_TRUE(closeNotify);
}

struct VersionCase {
  const char* name;
  int clientMin, clientMax;
  const char* statusPrefix;
};

// Test names show the case, not its bytes.
void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }

class TlsVersions : public RelayTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(TlsVersions, StatusLineNamesWhatWasAgreed) {
  startMaster(10);
  std::optional<HandedSession> handed = handSession(*master, listener);
  ASSERT_TRUE(handed);
  ClientSettings settings;
  settings.minVersion = GetParam().clientMin;
  settings.maxVersion = GetParam().clientMax;
  TlsClient client(testPki().caCert, settings, handed->client.get());
  client.handshake();
  const std::optional<std::string> status = readLine(handed->inner.get());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->rfind(GetParam().statusPrefix, 0), 0u) << *status;
  EXPECT_GT(status->size(), std::strlen(GetParam().statusPrefix)) << *status;
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, TlsVersions,
    ::testing::Values(VersionCase{"Tls13", TLS1_3_VERSION, 0, "ok TLSv1.3 TLS_"},
                      VersionCase{"Tls12", 0, TLS1_2_VERSION, "ok TLSv1.2 ECDHE-"},
                      VersionCase{"Tls11Refused", TLS1_1_VERSION, TLS1_1_VERSION,
                                  "fail TLS handshake failed: "}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

enum class Presented { kTrusted, kNone, kOtherCa };

struct ClientCertCase {
  const char* name;
  Presented presented;
  const char* statusPrefix;
  const char* subjectPart;  // in the status line; null when none is
};

// Test names show the case, not its bytes.
void PrintTo(const ClientCertCase& c, std::ostream* out) { *out << c.name; }

class TlsClientCertificate : public RelayTest,
                             public ::testing::WithParamInterface<ClientCertCase> {};

TEST_P(TlsClientCertificate, OnlyTheTrustedCaGetsThrough) {
  startMaster(10, true);
  std::optional<HandedSession> handed = handSession(*master, listener);
  ASSERT_TRUE(handed);
  ClientSettings settings;
  const TestPki& pki = testPki();
  if (GetParam().presented == Presented::kTrusted) {
    settings.cert = pki.clientCert;
    settings.key = pki.clientKey;
  } else if (GetParam().presented == Presented::kOtherCa) {
    settings.cert = pki.otherClientCert;
    settings.key = pki.otherClientKey;
  }
  TlsClient client(pki.caCert, settings, handed->client.get());
  // Under TLS 1.3 the client's side may finish before the server has
  // judged its certificate; only the relay's verdict counts.
  client.handshake();
  const std::optional<std::string> status = readLine(handed->inner.get());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->rfind(GetParam().statusPrefix, 0), 0u) << *status;
  if (GetParam().subjectPart != nullptr) {
    EXPECT_NE(status->find(GetParam().subjectPart), std::string::npos) << *status;
  } else {
    EXPECT_GT(status->size(), std::strlen(GetParam().statusPrefix)) << *status;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsClientCertificate,
    ::testing::Values(
        ClientCertCase{"Trusted", Presented::kTrusted, "ok TLSv1.3 ", " CN=vornd test client"},
        ClientCertCase{"Missing", Presented::kNone, "fail TLS handshake failed: ", nullptr},
        ClientCertCase{"OtherCa", Presented::kOtherCa, "fail TLS handshake failed: ", nullptr}),
    [](const ::testing::TestParamInfo<ClientCertCase>& info) { return info.param.name; });

// The status line stays one line under 1024 bytes however long the
// subject, and the stream after it is the client's alone.
TEST_F(TlsSession, LongClientSubjectIsCutToKeepTheStatusLineShort) {
  startMaster(10, true);
  std::string subject;
  for (int i = 0; i < 30; ++i) subject += "/OU=unit " + std::to_string(i) + std::string(50, 'x');
  subject += "/CN=vornd long subject";
  ClientSettings settings;
  std::tie(settings.cert, settings.key) = testPki().issueClient("long", subject);
  std::optional<LiveSession> session = startSession(*master, listener, settings);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->status.rfind("ok TLSv1.3 ", 0), 0u) << session->status;
  EXPECT_NE(session->status.find(" CN=vornd long subject,OU=unit 29"), std::string::npos);
  EXPECT_LT(session->status.size() + 1, 1024u);
  EXPECT_GT(session->status.size() + 1, 1000u) << "cut shorter than needed";
  expectRelays(*session, "after a long line");
}

// What a client that never completes a handshake does to the socket.
struct FailureCase {
  const char* name;
  std::string sends;  // then it goes quiet, or closes
  bool closes;
  const char* status;  // the whole line, or its start when `prefixOnly`
  bool prefixOnly;
};

// Test names show the case, not its bytes.
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class TlsHandshakeFailure : public RelayTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TlsHandshakeFailure, ReportedToTheDaemonInTime) {
  startMaster(1);
  const FailureCase& c = GetParam();
  const Clock::time_point start = Clock::now();
  std::optional<HandedSession> handed = handSession(*master, listener);
  ASSERT_TRUE(handed);
  if (!c.sends.empty()) {
    ASSERT_TRUE(writeAll(handed->client.get(), c.sends));
  }
  if (c.closes) handed->client.reset();
  const std::optional<std::string> status = readLine(handed->inner.get(), 5s);
  const auto took = Clock::now() - start;
  ASSERT_TRUE(status);
  if (c.prefixOnly) {
    EXPECT_EQ(status->rfind(c.status, 0), 0u) << *status;
    EXPECT_GT(status->size(), std::strlen(c.status)) << *status;
  } else {
    EXPECT_EQ(*status, c.status);
  }
  EXPECT_LT(took, 3s);
  if (std::string(c.status).find("within") != std::string::npos) {
    EXPECT_GT(took, 800ms);
  }
  // Nothing follows the failure line: the session is over.
  EXPECT_EQ(readToEnd(handed->inner.get()), std::optional<std::string>(""));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, TlsHandshakeFailure,
    ::testing::Values(
        FailureCase{"Silent", "", false, "fail no TLS handshake within 1 seconds", false},
        // A record header promising a ClientHello that never comes.
        FailureCase{"StallsMidRecord", std::string("\x16\x03\x01\x02\x00", 5), false,
                    "fail no TLS handshake within 1 seconds", false},
        FailureCase{"ClearZeros", std::string(331, '\0'), false, "fail TLS handshake failed: ",
                    true},
        FailureCase{"ClosesAtOnce", "", true, "fail TLS handshake failed: connection closed",
                    false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// Messages that are not sessions are dropped with their descriptors, and
// the master goes on.
TEST_F(TlsSession, MalformedMessagesAreDroppedAndTheirDescriptorsClosed) {
  startMaster(10);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Fd kept(pair[0]), sent(pair[1]);
  ASSERT_TRUE(master->send("session", {sent.get()}));
  ASSERT_TRUE(master->send("sessions", {sent.get(), sent.get()}));
  ASSERT_TRUE(master->send("hello", {sent.get(), sent.get(), sent.get()}));
  ASSERT_TRUE(master->send("session", {}));
  ASSERT_TRUE(master->send("", {sent.get(), sent.get()}));
  ASSERT_TRUE(master->send("", {}));
  sent.reset();
  // Every copy the master got is closed: the pair's other end sees its end.
  pollfd watch{kept.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&watch, 1, 5000), 1);
  char byte;
  EXPECT_EQ(::recv(kept.get(), &byte, 1, 0), 0);

  std::optional<LiveSession> session = startSession(*master, listener);
  ASSERT_TRUE(session);
  expectRelays(*session, "after the noise");
}

}  // namespace
}  // namespace tls_testing

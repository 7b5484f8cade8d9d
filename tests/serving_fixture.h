// A daemon serving real connections on a loopback port the system picks,
// with its settings in a throw-away service key and its log in a
// temporary folder, and a client to talk to it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "free_port.h"
#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "platform/address_text.h"
#include "platform/net.h"
#include "registry_fixture.h"
#include "service_host.h"
#include "temp_dir.h"

namespace testing_support {


class ServingDaemon : public CVornD {
 public:
  explicit ServingDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {
    m_config.SockPort = testing_support::freePort();
  }
  std::uint16_t port() const { return platform::localPort(listenSocket()); }

  // Values added to the environment list after it is loaded, for pages
  // too large to put in a registry value by value.
  std::size_t bulkValues = 0;
  std::size_t bulkValueBytes = 0;
  void Init() override {
    CVornD::Init();
    for (std::size_t i = 0; i < bulkValues; ++i) {
      m_config.Environment["BULK" + std::to_string(i)] = std::string(bulkValueBytes, 'v');
    }
  }
  using CVornD::m_hScmEvent;
};

// One client connection to the daemon.
class Client {
 public:
  // From `source` (any local address when 0), as another host would be.
  explicit Client(std::uint16_t port, std::uint32_t source = 0) {
    m_socket = platform::createTcpSocket();
    if (source != 0) platform::bindSocket(m_socket, platform::Ipv4Endpoint{source, 0});
    platform::Ipv4Endpoint remote;
    remote.address = platform::kLoopbackAddress;
    remote.port = port;
    m_connected = platform::connectSocket(m_socket, remote);
  }
  // To `remote` on the port, of its family, from `source` when given.
  Client(std::uint16_t port, const platform::NetAddress& remote,
         const platform::NetAddress* source = nullptr) {
    m_socket = platform::createTcpSocket(remote.family);
    if (source != nullptr) platform::bindSocket(m_socket, platform::Endpoint{*source, 0});
    m_connected = platform::connectSocket(m_socket, platform::Endpoint{remote, port});
  }
  ~Client() { platform::closeSocket(m_socket); }
  bool connected() const { return m_connected; }
  std::uint16_t localPort() const { return platform::localPort(m_socket); }
  platform::SocketHandle handle() const { return m_socket; }
  void send(const std::string& bytes) {
    platform::sendSocket(m_socket, bytes.data(), static_cast<int>(bytes.size()));
  }
  void shutdownSend() { platform::shutdownSend(m_socket); }
  // Up to count bytes: fewer when the daemon closes first or nothing more
  // comes within the limit.
  std::string read(std::size_t count, std::uint32_t limitMs = 10000) {
    std::string text;
    char buffer[4096];
    while (text.size() < count) {
      if (platform::waitUntilReadable(m_socket, limitMs) != 1) break;
      const int want = static_cast<int>(std::min(sizeof buffer, count - text.size()));
      const int got = platform::receiveSocket(m_socket, buffer, want);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
  // Everything until the daemon closes; "<timeout>" appended when it does
  // not within the limit.
  std::string readAll(std::uint32_t limitMs = 10000) {
    std::string text;
    char buffer[4096];
    for (;;) {
      if (platform::waitUntilReadable(m_socket, limitMs) != 1) return text + "<timeout>";
      const int got = platform::receiveSocket(m_socket, buffer, sizeof buffer);
      if (got <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }

 private:
  platform::SocketHandle m_socket = platform::kInvalidSocket;
  bool m_connected = false;
};

// An address from its text; a test's own text, so it must parse.
inline platform::NetAddress addressOf(const char* text) {
  platform::NetAddress parsed;
  EXPECT_TRUE(parseAddress(text, &parsed)) << text;
  return parsed;
}

inline std::string record(const std::string& user, const std::string& password,
                   const std::string& startup = "") {
  std::string bytes(netLogin::kSize, '\0');
  bytes.replace(netLogin::kUser, user.size(), user);
  bytes.replace(netLogin::kPassword, password.size(), password);
  bytes.replace(netLogin::kStartup, startup.size(), startup);
  return bytes;
}

inline const std::string kAccepted("\x00\x01", 2);
inline const std::string kRefused("\x00\x00", 2);

class ServingFixture : public ::testing::Test {
 protected:
  ServingFixture()
      : m_name(testing_support::uniqueName("serve")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name),
        m_run(m_name) {
    // The test's own sockets, apart from the daemon's (Windows counts them).
    platform::startSockets();
    config("CreateDesktop", "No");
    config("LogCreate", "Yes");
    config("LogFileName", m_dir.file("serve.log"));
    // Accepted clients go to an engine that ends at once.
    config("VornExecutable", serviceHostCommandLine("engine-probe", "quiet"));
  }
  ~ServingFixture() override {
    m_run.stop();
    platform::cleanupSockets();
  }

  void config(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_service.setText("Config", name, text));
  }
  void start() {
    m_run.start();
    ASSERT_TRUE(testing_support::waitForState(m_tap, platform::kServiceRunning));
    m_port = m_run.daemon().port();
    ASSERT_NE(0, m_port);
  }
  std::string exchange(const std::string& bytes) {
    Client client(m_port);
    EXPECT_TRUE(client.connected());
    client.send(bytes);
    return client.readAll();
  }
  std::string page() { return exchange("GET / HTTP/1.0\r\n\r\n"); }
  std::string counters() {
    static const std::regex served("Clients Served</td><td class=\"th\">([0-9]+)<");
    static const std::regex rejected("Clients Rejected</td><td class=\"th\">([0-9]+)<");
    const std::string text = page();
    std::smatch a, b;
    if (!std::regex_search(text, a, served) || !std::regex_search(text, b, rejected)) return "?";
    return a[1].str() + "/" + b[1].str();
  }
  // How often the text stands in the log.
  std::size_t logOccurrences(const std::string& text) {
    const std::string all = log();
    std::size_t count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
      ++count;
    }
    return count;
  }
  // The log with its line ends as LF alone (Windows writes CR LF).
  std::string log() {
    std::string text;
    const std::string raw = testing_support::readFile(m_dir.file("serve.log"));
    for (const std::string& line : testing_support::linesOf(raw)) {
      text += line + "\n";
    }
    return text;
  }

  testing_support::RecordingTap m_tap;
  testing_support::TemporaryDirectory m_dir;
  std::string m_name;
  ScopedRegistryKey m_service;
  testing_support::DaemonRunner<ServingDaemon> m_run;
  std::uint16_t m_port = 0;
};

}  // namespace testing_support

// A daemon whose login check is called directly, with the client's end of
// a loopback connection to read the reply from, a log file and a tap on
// the event log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "daemon/vornd.h"
#include "platform/net.h"
#include "recording_tap.h"
#include "registry_fixture.h"
#include "session/net_login.h"
#include "session/socket.h"
#include "temp_dir.h"

namespace testing_support {

class CheckingDaemon : public CVornD {
 public:
  explicit CheckingDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {}
  using CVornD::m_config;
  using CVornD::m_log;
};

inline netLogin loginRecord(const std::string& user, const std::string& password) {
  netLogin login;
  std::memcpy(login.bytes + netLogin::kUser, user.data(),
              std::min(user.size(), netLogin::kUserSize));
  std::memcpy(login.bytes + netLogin::kPassword, password.data(),
              std::min(password.size(), netLogin::kPasswordSize));
  return login;
}

struct CheckOutcome {
  bool accepted = false;
  // Every byte the client received.
  std::string reply;
  // A refusal the check left for later: how long after the record it was
  // due. The fixture waits for it and sends it, as the connection loop would.
  std::optional<std::chrono::milliseconds> refusalDelay;
};

class LoginCheck : public ::testing::Test {
 protected:
  LoginCheck() : m_daemon(uniqueName("authtest")) {}

  void SetUp() override {
    ASSERT_EQ(platform::startSockets(), 0u);
    restartLog();
    ASSERT_TRUE(m_daemon.m_log.good());
  }
  void TearDown() override {
    releaseToken();
    platform::cleanupSockets();
  }

  void releaseToken() {
    if (m_token != nullptr) platform::closeLogonToken(m_token);
    m_token = nullptr;
  }

  // authenticateUser over a fresh connection; the daemon's end is closed
  // afterwards, so the reply holds all it sent. The token it leaves for a
  // launch is in m_token until the next check.
  CheckOutcome check(const netLogin& login) {
    CheckOutcome outcome;
    CSocket listener(platform::createTcpSocket());
    EXPECT_TRUE(platform::bindSocket(listener.Handle(), {platform::kLoopbackAddress, 0}));
    EXPECT_TRUE(platform::listenSocket(listener.Handle(), 1));
    CSocket client(platform::createTcpSocket());
    EXPECT_TRUE(platform::connectSocket(
        client.Handle(), {platform::kLoopbackAddress, platform::localPort(listener.Handle())}));
    {
      LoginJob job;
      job.client = std::make_unique<CSocket>(platform::acceptSocket(listener.Handle(), &job.peer));
      EXPECT_NE(job.client->Handle(), platform::kInvalidSocket);
      job.login = login;
      job.recordAt = LoginJob::Clock::now();
      releaseToken();
      outcome.accepted = m_daemon.authenticateUser(job, m_token);
      if (job.refuseAt) {
        outcome.refusalDelay =
            std::chrono::duration_cast<std::chrono::milliseconds>(*job.refuseAt - job.recordAt);
        std::this_thread::sleep_until(*job.refuseAt);
        m_daemon.sendLoginReply(*job.client, false);
      }
    }
    char chunk[16];
    int got;
    while ((got = client.Read(chunk, sizeof chunk)) > 0) outcome.reply.append(chunk, got);
    return outcome;
  }
  CheckOutcome check(const std::string& user, const std::string& password) {
    return check(loginRecord(user, password));
  }

  // Empties the log for the next check.
  void restartLog() {
    m_daemon.m_log.close();
    m_daemon.m_log.open(m_dir.file("daemon.log"));
  }

  // The log as written, with the text-mode line ends of Windows read back
  // as "\n".
  std::string log() const {
    std::string text = readFile(m_dir.file("daemon.log"));
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      out += text[i];
    }
    return out;
  }

  ScopedStateRoot m_root;
  TemporaryDirectory m_dir;
  RecordingTap m_tap;
  CheckingDaemon m_daemon;
  platform::LogonToken m_token = nullptr;
};

inline const std::string kAccepted(kLoginAccepted, 2);
inline const std::string kRefused(kLoginRefused, 2);

}  // namespace testing_support

// What an engine inherits on Windows: its own connection and nothing else
// the daemon's process holds, however many engines start at once. The
// test's own client sockets stand in for a client's socket that stays
// inheritable (a provider that refuses the flag change, or one accepted
// a moment before): they are made inheritable in this process, the
// daemon's, before the logins go in.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "platform/process_launch.h"
#include "serving_fixture.h"

namespace {

using testing_support::Client;
using testing_support::kAccepted;
using testing_support::record;

class Win32EngineHandles : public testing_support::ServingFixture {
 protected:
  Win32EngineHandles() {
    config("AuthenticationMethod", "Vorn");
    config("MaxPendingPerSource", "32");
    config("VornExecutable", testing_support::serviceHostCommandLine("engine-probe", "report"));
  }
};

TEST_F(Win32EngineHandles, SixteenConcurrentEnginesEachHoldTheirOwnSocketAndNoOther) {
  constexpr int kLogins = 16;
  start();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kLogins; ++i) {
    clients.push_back(std::make_unique<Client>(m_port));
    ASSERT_TRUE(clients.back()->connected()) << i;
    ASSERT_TRUE(platform::setHandleInheritable(clients.back()->handle())) << i;
  }
  // Every record before any reply is read: the launches overlap.
  for (auto& client : clients) client->send(record("many", "pw"));
  for (int i = 0; i < kLogins; ++i) {
    const std::string reply = clients[i]->readAll(20000);
    ASSERT_EQ(kAccepted, reply.substr(0, 2)) << i;
    const auto report = testing_support::parseProbeReport(reply.substr(2));
    ASSERT_TRUE(report.complete) << i << ": " << reply;
    // The daemon's end of this client's connection, and that alone.
    EXPECT_EQ(std::vector<std::string>{std::to_string(m_port) + ">" +
                                       std::to_string(clients[i]->localPort())},
              report.sockets)
        << "login " << i;
  }
}

}  // namespace

// Only an inheritable handle may stand in the list: a standard handle of
// the daemon's that is not goes to the engine as an inheritable copy.
TEST(Win32EngineStandardHandles, ANonInheritableStandardErrorStillReachesTheEngine) {
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
  DWORD flags = 1;
  ASSERT_TRUE(GetHandleInformation(writer, &flags));
  ASSERT_EQ(0u, flags & HANDLE_FLAG_INHERIT);
  const HANDLE daemonError = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, writer);
  const std::string commandLine = testing_support::serviceHostCommandLine("engine-probe", "stderr");
  platform::ProcessLaunch launch;
  launch.commandLine = commandLine.c_str();
  launch.environment = "\0";
  const bool started = platform::launchProcess(launch);
  const DWORD error = GetLastError();
  SetStdHandle(STD_ERROR_HANDLE, daemonError);
  CloseHandle(writer);
  ASSERT_TRUE(started) << error;
  std::string text;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(reader);
  // The C runtime writes it in text mode.
  EXPECT_EQ("stderr reached\r\n", text);
}

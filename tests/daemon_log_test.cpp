#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "daemon/log_stream.h"
#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "platform/files.h"
#include "platform/process.h"
#include "registry_fixture.h"
#include "temp_dir.h"

using testing_support::linesOf;
using testing_support::readFile;
using testing_support::ScopedRegistryKey;

namespace {

class LoggingDaemon : public CVornD {
 public:
  explicit LoggingDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {
    m_config.SockPort = testing_support::freePort();  // these tests make no connections
  }
  using CVornD::logFilePath;
  // Entries from elsewhere than the daemon's own flow, each in two pieces
  // of 50 bytes, so that a limit may fall in the middle of a line.
  void writeEntries(int count) {
    for (int i = 0; i < count; ++i) {
      m_log.entry().withoutLineEnd() << std::string(50, 'a');
      m_log.entry() << std::string(49, 'b');
    }
  }
};

class DaemonLog : public ::testing::Test {
 protected:
  DaemonLog()
      : m_name(testing_support::uniqueName("logtest")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name) {}

  void config(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_service.setText("Config", name, text));
  }
  // Starts the daemon, waits until it runs (and, with a log, until it
  // waits for clients), stops it; returns the log.
  std::string runAndStop(bool logged = true) {
    testing_support::RecordingTap tap;
    testing_support::DaemonRunner<LoggingDaemon> run(m_name);
    run.start();
    EXPECT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
    for (int i = 0; logged && i < 1000; ++i) {
      if (readFile(m_dir.file("daemon.log")).find("handleClients - starting") != std::string::npos) {
        break;
      }
      platform::sleepMs(10);
    }
    run.stop();
    return readFile(m_dir.file("daemon.log"));
  }

  std::string m_name;
  ScopedRegistryKey m_service;
  testing_support::TemporaryDirectory m_dir;
};

TEST_F(DaemonLog, AnIdleRunLeavesExactlyTheseLinesAndEmptiesTheOldLog) {
  config("LogCreate", "Yes");
  config("CreateDesktop", "Yes");
  config("LogFileName", m_dir.file("daemon.log"));
  std::ofstream(m_dir.file("daemon.log")) << "left from the last run\n";

  const std::vector<std::string> lines = linesOf(runAndStop());
  ASSERT_EQ(43u, lines.size());
  EXPECT_EQ("ServiceDisable(false)", lines[0]);
  EXPECT_EQ("LogCreate(true)", lines[13]);
  EXPECT_EQ("LogFileName(" + m_dir.file("daemon.log") + ")", lines[14]);
  EXPECT_EQ("CreateDesktop(true)", lines[24]);
  EXPECT_EQ("MaxPendingLogins(64)", lines[25]);
  EXPECT_EQ("MaxPendingPerSource(8)", lines[26]);
  EXPECT_EQ("LoginFailureLimit(10)", lines[27]);
  EXPECT_EQ("LoginFailurePenalty(60)", lines[28]);
  EXPECT_EQ("LogMaxSize(64)", lines[29]);
  EXPECT_EQ("MaxPendingRecords(1024)", lines[30]);
  EXPECT_EQ("SockTLS(No)", lines[31]);
  EXPECT_EQ("TLSClientCAFile()", lines[34]);
  EXPECT_EQ("SockListenAddress()", lines[35]);
  EXPECT_EQ("SourcePrefixIPv6(64)", lines[36]);
  EXPECT_EQ("ProxyProtocolFrom()", lines[37]);
  EXPECT_EQ("StatusPageFrom()", lines[38]);
  EXPECT_EQ("Using WindowStation+Desktop of(VORND-" +
                std::to_string(platform::currentProcessId()) + "\\WinVornD)",
            lines[39]);
  EXPECT_EQ("CVornD::Run starting", lines[40]);
  EXPECT_EQ("handleClients - starting", lines[41]);
  EXPECT_EQ("handleClients - scmEvent fired", lines[42]);
}

TEST_F(DaemonLog, DetailedLoggingAddsTheStopEntries) {
  config("LogCreate", "Yes");
  config("LogAllEvents", "Yes");
  config("CreateDesktop", "No");
  config("LogFileName", m_dir.file("daemon.log"));
  const std::vector<std::string> lines = linesOf(runAndStop());
  const std::set<std::string> seen(lines.begin(), lines.end());
  EXPECT_EQ(1u, seen.count("CVornD::status set to SERVICE_RUNNING"));
  EXPECT_EQ(1u, seen.count("handleClients - waiting"));
  EXPECT_EQ(1u, seen.count("OnStop called - m_bStop = false"));
  EXPECT_EQ(1u, seen.count("OnStop called - m_bStop now = true"));
  for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find("WindowStation"));
}

TEST_F(DaemonLog, AtLogMaxSizeOneLineSaysSoAndTheFileGrowsNoMore) {
  config("LogCreate", "Yes");
  config("LogAllEvents", "Yes");
  config("CreateDesktop", "No");
  config("LogMaxSize", "1");
  config("LogFileName", m_dir.file("daemon.log"));
  {
    testing_support::RecordingTap tap;
    testing_support::DaemonRunner<LoggingDaemon> run(m_name);
    run.start();
    EXPECT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
    run.daemon().writeEntries(15000);  // 1.5 MB
    run.stop();
  }
  const std::string text = readFile(m_dir.file("daemon.log"));
  const std::vector<std::string> lines = linesOf(text);
  const std::string notice =
      "The log file reached its limit of 1 MB: nothing more is written to it until the next start";
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("ServiceDisable(false)", lines[0]);
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "LogMaxSize(1)"));
  // The last line, on a line of its own, and the stop's entries are not there.
  EXPECT_EQ(notice, lines.back());
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
              return line.find("reached its limit") != std::string::npos;
            }));
  const std::size_t before = text.rfind(notice);
  ASSERT_NE(std::string::npos, before);
  EXPECT_LE(before, 1048576u + 2);  // with the line end that closes a cut line
  EXPECT_GT(before, 1048576u - 100);  // filled to the last entry that fits
}

TEST_F(DaemonLog, WithoutLogCreateNothingIsWritten) {
  config("LogFileName", m_dir.file("daemon.log"));
  runAndStop(false);
  EXPECT_FALSE(testing_support::fileExists(m_dir.file("daemon.log")));
}

TEST(DaemonLogPath, DirectoryWithAndWithoutItsSeparatorAndFileNamesAsGiven) {
  const char separator = platform::pathSeparator();
  const std::string name = testing_support::uniqueName("logpath");
  ScopedRegistryKey service("SYSTEM\\CurrentControlSet\\Services\\" + name);
  auto pathWith = [&](const char* value, const std::string& text) {
    EXPECT_EQ(0u, service.setText("Config", value, text));
    LoggingDaemon daemon(name);
    CServiceConfig& config = const_cast<CServiceConfig&>(daemon.config());
    config.Load(name);
    return daemon.logFilePath();
  };
  // The service name is that of the daemon's construction until
  // ServiceMain replaces it; here they are the same.
  const std::string dir = std::string("logs") + separator + "vornd";
  EXPECT_EQ(dir + separator + name + ".log", pathWith("LogServiceDir", dir));
  EXPECT_EQ(dir + separator + name + ".log", pathWith("LogServiceDir", dir + separator));
  EXPECT_EQ("plainname", pathWith("LogFileName", "plainname"));
}

TEST(DaemonLogPath, DefaultFolderIsThePlatformsOwn) {
  const std::string name = testing_support::uniqueName("logdefault");
  LoggingDaemon daemon(name);
  const std::string folder = platform::defaultLogDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(platform::pathSeparator(), folder.back());
  EXPECT_EQ(folder + name + ".log", daemon.logFilePath());
}

TEST(LogStreamEntries, NoEntryIsSplitByAnotherThread) {
  testing_support::TemporaryDirectory dir;
  LogStream log;
  log.open(dir.file("race.log"));
  constexpr int kEntries = 2000;
  auto writer = [&log](const char* who) {
    for (int i = 0; i < kEntries; ++i) log.entry() << who << " entry " << i << " " << (i % 2 == 0);
  };
  std::thread worker(writer, "worker");
  writer("main");
  worker.join();
  log.close();

  const std::vector<std::string> lines = linesOf(readFile(dir.file("race.log")));
  ASSERT_EQ(2u * kEntries, lines.size());
  int next[2] = {0, 0};
  for (const std::string& line : lines) {
    const int who = line.rfind("worker ", 0) == 0 ? 1 : 0;
    const std::string expected = std::string(who == 1 ? "worker" : "main") + " entry " +
                                 std::to_string(next[who]) + " " +
                                 (next[who] % 2 == 0 ? "true" : "false");
    ASSERT_EQ(expected, line);
    ++next[who];
  }
}

TEST(LogStreamEntries, AFailedOpenDropsEntriesQuietly) {
  testing_support::TemporaryDirectory dir;
  LogStream log;
  log.open(dir.file("missing-folder") + "/x.log");
  log.entry() << "dropped";
  EXPECT_FALSE(log.good());
}

}  // namespace

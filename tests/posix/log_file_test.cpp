// The log is opened by root at a path others may write to: what it refuses
// to open, what it leaves untouched, and that every refusal is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "free_port.h"
#include "registry_fixture.h"
#include "temp_dir.h"

using testing_support::readFile;

namespace {

class LogDaemon : public CVornD {
 public:
  explicit LogDaemon(const std::string& name)
      : CVornD(name, name, platform::kServiceWin32OwnProcess) {
    m_config.SockPort = testing_support::freePort();
  }
};

class LogFileOpen : public ::testing::Test {
 protected:
  LogFileOpen()
      : m_name(testing_support::uniqueName("logopen")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name) {
    config("CreateDesktop", "No");
    config("LogCreate", "Yes");
  }
  void config(const std::string& name, const std::string& text) {
    ASSERT_EQ(0u, m_service.setText("Config", name, text));
  }
  std::vector<std::string> runAndStop(const std::string& logPath) {
    return runWith("LogFileName", logPath);
  }
  // Runs the daemon to "running" with one log setting (none: the default
  // folder) and stops it; returns the failure reports that name the log
  // file, as the debugger output has them (the event log may be the very
  // thing refused).
  std::vector<std::string> runWith(const std::string& setting, const std::string& value) {
    config("LogFileName", setting == "LogFileName" ? value : "");
    config("LogServiceDir", setting == "LogServiceDir" ? value : "");
    testing_support::RecordingTap tap;
    {
      testing_support::DaemonRunner<LogDaemon> run(m_name);
      run.start();
      EXPECT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
      run.stop();
    }
    std::vector<std::string> reports;
    for (const auto& text : tap.debug()) {
      if (text.find("the log file") != std::string::npos) reports.push_back(text);
    }
    return reports;
  }

  testing_support::TemporaryDirectory m_dir;
  std::string m_name;
  testing_support::ScopedRegistryKey m_service;
};

const std::string kSecret = "root:$6$not-to-be-touched:19000:0:99999:7:::\n";

TEST_F(LogFileOpen, ASymbolicLinkIsRefusedAndItsTargetLeftByteForByte) {
  const std::string target = m_dir.file("shadow");
  std::ofstream(target, std::ios::binary) << kSecret;
  chmod(target.c_str(), 0600);
  const std::string log = m_dir.file("svc.log");
  ASSERT_EQ(0, symlink(target.c_str(), log.c_str()));

  const auto reports = runAndStop(log);
  EXPECT_EQ(kSecret, readFile(target));
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("Opening the log file " + log +
                " failed: The name of the file cannot be resolved by the system.\n",
            reports[0]);

  // A dangling link would otherwise create the file it points to.
  const std::string dangling = m_dir.file("dangling.log");
  ASSERT_EQ(0, symlink(m_dir.file("created-by-the-daemon").c_str(), dangling.c_str()));
  EXPECT_EQ(1u, runAndStop(dangling).size());
  EXPECT_NE(0, access(m_dir.file("created-by-the-daemon").c_str(), F_OK));
}

TEST_F(LogFileOpen, ASecondNameOfAFileIsNotEmptied) {
  const std::string target = m_dir.file("elsewhere");
  std::ofstream(target, std::ios::binary) << kSecret;
  const std::string log = m_dir.file("svc.log");
  ASSERT_EQ(0, link(target.c_str(), log.c_str()));

  const auto reports = runAndStop(log);
  EXPECT_EQ(kSecret, readFile(target));
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("Opening the log file " + log + " failed: The file cannot be accessed by the system.\n",
            reports[0]);
}

TEST_F(LogFileOpen, AFifoIsRefusedWithoutHoldingStartUp) {
  const std::string log = m_dir.file("svc.log");
  ASSERT_EQ(0, mkfifo(log.c_str(), 0600));
  EXPECT_EQ(1u, runAndStop(log).size());
}

TEST_F(LogFileOpen, ANewLogIsTheOwnersAloneAndAnOldOneIsEmptied) {
  const std::string log = m_dir.file("svc.log");
  const mode_t old = umask(0);
  runAndStop(log);
  umask(old);
  struct stat info;
  ASSERT_EQ(0, stat(log.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  EXPECT_NE(std::string::npos, readFile(log).find("CVornD::Run starting"));

  std::ofstream(log, std::ios::app) << "from the last run\n";
  EXPECT_TRUE(runAndStop(log).empty());
  const std::string text = readFile(log);
  EXPECT_EQ(std::string::npos, text.find("from the last run"));
  EXPECT_EQ(0u, text.rfind("ServiceDisable(false)\n", 0)) << text;
}

TEST_F(LogFileOpen, EachWayOfHavingNoLogIsReportedOnce) {
  const std::string missing = m_dir.file("no-such-folder") + "/svc.log";
  auto reports = runAndStop(missing);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("Opening the log file " + missing +
                " failed: The system cannot find the path specified.\n",
            reports[0]);

  // Opens, then refuses the first entry and every one after: one report.
  reports = runAndStop("/dev/full");
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("Writing the log file /dev/full failed: There is not enough space on the disk.\n",
            reports[0]);

  if (geteuid() != 0) {
    const std::string locked = m_dir.file("locked");
    ASSERT_EQ(0, mkdir(locked.c_str(), 0500));
    reports = runAndStop(locked + "/svc.log");
    ASSERT_EQ(1u, reports.size());
    EXPECT_NE(std::string::npos, reports[0].find("failed: Access is denied.")) << reports[0];
  }
}

// Something planted before the start that the open must refuse: the
// victim is what the daemon would have written through it, and it stays as
// planted. In the texts {dir} is a fresh folder, {root} the state root and
// {name} the service.
struct Planted {
  const char* what;
  std::function<void(const std::string& dir, const std::string& root)> plant;
  const char* setting;  // "" for the default folder
  const char* value;
  const char* logPath;  // the path the report names
  const char* victim;
  bool victimHoldsTheSecret;  // else it must not exist at all
  const char* systemText;
};

void makeFolders(const std::string& dir, std::initializer_list<const char*> names) {
  for (const char* name : names) ASSERT_EQ(0, mkdir((dir + "/" + name).c_str(), 0755)) << name;
}

const char kUnresolved[] = "The name of the file cannot be resolved by the system.";

const Planted kPlanted[] = {
    {"a link as the folder of LogServiceDir",
     [](const std::string& dir, const std::string&) {
       makeFolders(dir, {"real"});
       ASSERT_EQ(0, symlink((dir + "/real").c_str(), (dir + "/linked").c_str()));
     },
     "LogServiceDir", "{dir}/linked", "{dir}/linked/{name}.log", "{dir}/real/{name}.log", false,
     kUnresolved},
    {"a link as a folder higher up in LogFileName",
     [](const std::string& dir, const std::string&) {
       makeFolders(dir, {"real", "real/logs"});
       ASSERT_EQ(0, symlink("real", (dir + "/linked").c_str()));
     },
     "LogFileName", "{dir}/linked/logs/svc.log", "{dir}/linked/logs/svc.log",
     "{dir}/real/logs/svc.log", false, kUnresolved},
    {"a link as the log folder of the state root",
     [](const std::string& dir, const std::string& root) {
       makeFolders(dir, {"elsewhere"});
       ASSERT_EQ(0, rename((root + "/log").c_str(), (root + "/log.kept").c_str()));
       ASSERT_EQ(0, symlink((dir + "/elsewhere").c_str(), (root + "/log").c_str()));
     },
     "", "", "{root}/log/{name}.log", "{dir}/elsewhere/{name}.log", false, kUnresolved},
    {"a file of another account",
     [](const std::string& dir, const std::string&) {
       const std::string log = dir + "/svc.log";
       std::ofstream(log, std::ios::binary) << kSecret;
       ASSERT_EQ(0, chown(log.c_str(), 65534, 65534));
       chmod(log.c_str(), 0644);
     },
     "LogFileName", "{dir}/svc.log", "{dir}/svc.log", "{dir}/svc.log", true,
     "The file cannot be accessed by the system."},
};

TEST_F(LogFileOpen, WhatOthersPlantedOnThePathIsRefusedAndLeftAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "planting as another account needs root";
  const std::string root = platform::getEnvironmentVariable("VORND_ROOT").value_or("");
  ASSERT_FALSE(root.empty());
  for (const Planted& planted : kPlanted) {
    SCOPED_TRACE(planted.what);
    testing_support::TemporaryDirectory dir;
    mkdir((root + "/log").c_str(), 0755);
    planted.plant(dir.path().string(), root);
    const std::pair<std::string, std::string> names[] = {
        {"{dir}", dir.path().string()}, {"{root}", root}, {"{name}", m_name}};
    auto expand = [&](std::string text) {
      for (const auto& [key, value] : names) {
        if (const auto at = text.find(key); at != std::string::npos) {
          text.replace(at, key.size(), value);
        }
      }
      return text;
    };
    const auto reports = runWith(planted.setting, expand(planted.value));
    // The state root gets its own log folder back.
    if (unlink((root + "/log").c_str()) == 0) {
      rename((root + "/log.kept").c_str(), (root + "/log").c_str());
    }

    EXPECT_EQ(std::vector<std::string>{"Opening the log file " + expand(planted.logPath) +
                                       " failed: " + planted.systemText + "\n"},
              reports);
    if (planted.victimHoldsTheSecret) {
      EXPECT_EQ(kSecret, readFile(expand(planted.victim)));
      struct stat info;
      ASSERT_EQ(0, stat(expand(planted.victim).c_str(), &info));
      EXPECT_EQ(65534u, info.st_uid);
    } else {
      EXPECT_FALSE(testing_support::fileExists(expand(planted.victim)));
    }
  }
}

TEST_F(LogFileOpen, AnOwnLogLosesTheWriteBitsOfOthers) {
  const std::string log = m_dir.file("svc.log");
  std::ofstream(log) << "from the last run\n";
  chmod(log.c_str(), 0666);
  EXPECT_TRUE(runAndStop(log).empty());
  struct stat info;
  ASSERT_EQ(0, stat(log.c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 07777);
}

}  // namespace

// The POSIX event log: $VORND_ROOT/log/events.log, one line per entry.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/event_log.h"
#include "platform/tap.h"

namespace {

// Points VORND_ROOT at a fresh temporary folder and puts the old value
// back afterwards.
class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("VORND_ROOT")) m_oldRoot = old;
    char pattern[] = "/tmp/vornd-eventlog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_temp = pattern;
    m_root = m_temp + "/state";
    setenv("VORND_ROOT", m_root.c_str(), 1);
  }

  void TearDown() override {
    if (m_oldRoot) {
      setenv("VORND_ROOT", m_oldRoot->c_str(), 1);
    } else {
      unsetenv("VORND_ROOT");
    }
    std::string command = "rm -rf '" + m_temp + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::vector<std::string> logLines() const {
    std::ifstream file(m_root + "/log/events.log");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
  }

  std::optional<std::string> m_oldRoot;
  std::string m_temp;
  std::string m_root;
};

const std::regex kEntry(R"((\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z) (\S+) (ERROR|INFORMATION) (.*))");

TEST_F(EventLogTest, WritesOneLinePerEntry) {
  platform::EventSource source = platform::registerEventSource("vornd-test");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Error, "it broke"));
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Information, "all well"));
  platform::deregisterEventSource(source);

  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 2u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, kEntry)) << lines[0];
  EXPECT_EQ(match[2], "vornd-test");
  EXPECT_EQ(match[3], "ERROR");
  EXPECT_EQ(match[4], "it broke");
  ASSERT_TRUE(std::regex_match(lines[1], match, kEntry)) << lines[1];
  EXPECT_EQ(match[3], "INFORMATION");
  EXPECT_EQ(match[4], "all well");

  // The stamp is now, in UTC.
  std::tm stamp{};
  ASSERT_NE(strptime(match[1].str().c_str(), "%Y-%m-%dT%H:%M:%SZ", &stamp), nullptr);
  const std::time_t written = timegm(&stamp);
  EXPECT_LE(std::labs(static_cast<long>(std::time(nullptr) - written)), 120L);

  // The folders the root needs were made on the way.
  struct stat info {};
  ASSERT_EQ(stat(m_root.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((m_root + "/log/events.log").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(EventLogTest, LineBreaksInsideTheTextAreEscaped) {
  platform::EventSource source = platform::registerEventSource("svc");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Information,
                                    "first\r\nsecond\nthird\r\n"));
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Error, "\n"));
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Error, "a\n\nb\\n"));
  platform::deregisterEventSource(source);

  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 3u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, kEntry)) << lines[0];
  EXPECT_EQ(match[4], "first\\nsecond\\nthird");
  ASSERT_TRUE(std::regex_match(lines[1], match, kEntry)) << lines[1];
  EXPECT_EQ(match[4], "");
  ASSERT_TRUE(std::regex_match(lines[2], match, kEntry)) << lines[2];
  EXPECT_EQ(match[4], "a\\n\\nb\\n");
}

TEST_F(EventLogTest, AppendsAcrossSources) {
  platform::EventSource first = platform::registerEventSource("one");
  platform::EventSource second = platform::registerEventSource("two");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(platform::reportEvent(first, platform::EventType::Information, "1"));
  EXPECT_TRUE(platform::reportEvent(second, platform::EventType::Information, "2"));
  EXPECT_TRUE(platform::reportEvent(first, platform::EventType::Information, "3"));
  platform::deregisterEventSource(first);
  platform::deregisterEventSource(second);

  const std::vector<std::string> lines = logLines();
  ASSERT_EQ(lines.size(), 3u);
  const char* expected[][2] = {{"one", "1"}, {"two", "2"}, {"one", "3"}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, kEntry)) << lines[i];
    EXPECT_EQ(match[2], expected[i][0]);
    EXPECT_EQ(match[4], expected[i][1]);
  }
}

class RecordingTap : public platform::Tap {
 public:
  void onEventLog(const std::string& source, platform::EventType type,
                  const std::string& text) override {
    seen << source << '|' << (type == platform::EventType::Error ? "E" : "I") << '|' << text;
  }
  std::ostringstream seen;
};

TEST_F(EventLogTest, TheTapSeesTheTextAsGiven) {
  RecordingTap tap;
  platform::setTap(&tap);
  platform::EventSource source = platform::registerEventSource("tapped");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(platform::reportEvent(source, platform::EventType::Error, "x\ny"));
  platform::deregisterEventSource(source);
  platform::setTap(nullptr);
  EXPECT_EQ(tap.seen.str(), "tapped|E|x\ny");
  EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(EventLogTest, FailsWhenTheRootCannotBeMade) {
  // A plain file where a folder of the root must go.
  const std::string blocker = m_temp + "/file";
  std::ofstream(blocker) << "x";
  setenv("VORND_ROOT", (blocker + "/state").c_str(), 1);
  platform::setLastError(0);
  EXPECT_EQ(platform::registerEventSource("svc"), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorPathNotFound);
}

// What others may plant where the event log goes, before the daemon opens
// it: each is refused, and what lies behind it stays as it was.
struct Planted {
  const char* what;
  void (*plant)(const std::string& temp, const std::string& root);
  const char* victim;  // below the temporary folder
  bool victimHoldsTheSecret;  // else it must not exist
  platform::ErrorCode error;
};

const Planted kPlanted[] = {
    {"a link as events.log",
     [](const std::string& temp, const std::string& root) {
       std::ofstream(temp + "/victim") << "untouched\n";
       ASSERT_EQ(0, symlink((temp + "/victim").c_str(), (root + "/log/events.log").c_str()));
     },
     "victim", true, 1921},
    {"a link as the log folder",
     [](const std::string& temp, const std::string& root) {
       ASSERT_EQ(0, rmdir((root + "/log").c_str()));
       ASSERT_EQ(0, mkdir((temp + "/elsewhere").c_str(), 0755));
       ASSERT_EQ(0, symlink((temp + "/elsewhere").c_str(), (root + "/log").c_str()));
     },
     "elsewhere/events.log", false, 1921},
    {"a link as the state root",
     [](const std::string& temp, const std::string& root) {
       ASSERT_EQ(0, rename(root.c_str(), (temp + "/moved").c_str()));
       ASSERT_EQ(0, symlink((temp + "/moved").c_str(), root.c_str()));
     },
     "moved/log/events.log", false, 1921},
    {"events.log of another account",
     [](const std::string&, const std::string& root) {
       const std::string log = root + "/log/events.log";
       std::ofstream(log) << "untouched\n";
       ASSERT_EQ(0, chown(log.c_str(), 65534, 65534));
     },
     "state/log/events.log", true, 1920},
};

TEST_F(EventLogTest, WhatOthersPlantedIsRefusedAndLeftAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "planting as another account needs root";
  for (const Planted& planted : kPlanted) {
    SCOPED_TRACE(planted.what);
    std::system(("rm -rf '" + m_temp + "'/*").c_str());
    ASSERT_EQ(0, mkdir(m_root.c_str(), 0700));
    ASSERT_EQ(0, mkdir((m_root + "/log").c_str(), 0755));
    planted.plant(m_temp, m_root);

    platform::setLastError(0);
    platform::EventSource source = platform::registerEventSource("svc");
    if (source != nullptr) {
      platform::reportEvent(source, platform::EventType::Error, "written through");
      platform::deregisterEventSource(source);
    }
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(platform::lastError(), planted.error);
    const std::string victim = m_temp + "/" + planted.victim;
    if (planted.victimHoldsTheSecret) {
      std::ifstream in(victim);
      std::stringstream text;
      text << in.rdbuf();
      EXPECT_EQ(text.str(), "untouched\n");
    } else {
      EXPECT_NE(access(victim.c_str(), F_OK), 0);
    }
  }
}

TEST_F(EventLogTest, NullSourceIsRefused) {
  platform::setLastError(0);
  EXPECT_FALSE(platform::reportEvent(nullptr, platform::EventType::Error, "x"));
  EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
  platform::deregisterEventSource(nullptr);
}

}  // namespace

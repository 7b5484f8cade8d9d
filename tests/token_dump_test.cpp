#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "free_port.h"
#include "daemon/vornd.h"
#include "daemon_runner.h"
#include "diag/token_query.h"
#include "diag/token_text.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/token.h"
#include "recording_tap.h"
#include "registry_fixture.h"
#include "temp_dir.h"

using platform::TokenClass;
using testing_support::linesOf;
using testing_support::readFile;
using Lines = std::vector<std::string>;

namespace {

// The log's text with its line ends as "\n" (Windows writes CR LF).
std::string logText(const std::string& path) {
  std::string text = readFile(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::size_t indexOf(const Lines& lines, const std::string& line) {
  return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

std::size_t indexStartingWith(const Lines& lines, const std::string& prefix) {
  return static_cast<std::size_t>(
      std::find_if(lines.begin(), lines.end(),
                   [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }) -
      lines.begin());
}

// A SID in the Windows binary layout: revision 1, count, 6-byte authority
// (big-endian), then the sub-authorities.
std::vector<unsigned char> makeSid(std::uint8_t authority, std::vector<std::uint32_t> subs,
                                   std::uint8_t revision = 1) {
  std::vector<unsigned char> sid = {revision, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0,
                                    0, authority};
  for (std::uint32_t sub : subs) {
    unsigned char bytes[4];
    std::memcpy(bytes, &sub, 4);
    sid.insert(sid.end(), bytes, bytes + 4);
  }
  return sid;
}

// A daemon whose log is a file of the test's choosing.
class DumpingDaemon : public CVornD {
 public:
  explicit DumpingDaemon(const std::string& logPath)
      : CVornD("tokentest", "tokentest", platform::kServiceWin32OwnProcess) {
    m_log.open(logPath);
  }
  void closeLog() { m_log.close(); }
};

// The process token, with every ask recorded and, where a test says so, a
// class made to need more room or to fail.
class RecordingQuery : public TokenQuery {
 public:
  bool open(std::uint32_t access) override {
    openedWith = access;
    return m_real.open(access);
  }
  bool information(TokenClass tokenClass, void* buffer, std::uint32_t size,
                   std::uint32_t* needed) override {
    asks.emplace_back(tokenClass, size);
    if (tokenClass == inflated && size < inflatedSize) {
      *needed = inflatedSize;
      platform::setLastError(platform::kErrorInsufficientBuffer);
      return false;
    }
    if (const auto answer = given.find(tokenClass); answer != given.end()) {
      *needed = static_cast<std::uint32_t>(answer->second.size());
      if (size < *needed) {
        platform::setLastError(platform::kErrorInsufficientBuffer);
        return false;
      }
      std::memcpy(buffer, answer->second.data(), answer->second.size());
      return true;
    }
    if (tokenClass == failing) {
      *needed = 0;
      platform::setLastError(failingError);
      return false;
    }
    return m_real.information(tokenClass, buffer, size, needed);
  }

  std::uint32_t openedWith = 0;
  std::vector<std::pair<TokenClass, std::uint32_t>> asks;
  std::optional<TokenClass> inflated;
  std::uint32_t inflatedSize = 0;
  std::optional<TokenClass> failing;
  platform::ErrorCode failingError = 0;
  // Classes answered with these bytes instead of the token's.
  std::map<TokenClass, std::vector<unsigned char>> given;

 private:
  ProcessTokenQuery m_real;
};

class TokenDump : public ::testing::Test {
 protected:
  // The log that DumpToken writes through `query`.
  std::string dump(TokenQuery& query) {
    DumpingDaemon daemon(m_dir.file("token.log"));
    daemon.DumpToken(query);
    daemon.closeLog();
    return logText(m_dir.file("token.log"));
  }
  template <typename Write>
  Lines logOf(Write write) {
    DumpingDaemon daemon(m_dir.file("describe.log"));
    write(daemon);
    daemon.closeLog();
    return linesOf(readFile(m_dir.file("describe.log")));
  }

  testing_support::TemporaryDirectory m_dir;
};

TEST(TokenText, AttributeWordsGiveOneLinePerBitInTheirOrder) {
  using token_text::groupAttributeLines;
  EXPECT_EQ(Lines(), groupAttributeLines(0));
  EXPECT_EQ(Lines({"\tMandatory group", "\tEnabled by default", "\tEnabled group", "\tGroup owner",
                   "\tGroup use for deny only", "\tLogon ID"}),
            groupAttributeLines(0xC000001F));
  // Either high bit marks a logon SID, both give the line once.
  EXPECT_EQ(Lines({"\tEnabled group", "\tLogon ID"}), groupAttributeLines(0x40000004));
  EXPECT_EQ(Lines({"\tLogon ID"}), groupAttributeLines(0x80000000));
  EXPECT_EQ(Lines(), groupAttributeLines(0x20));

  using token_text::privilegeAttributeLines;
  EXPECT_EQ(Lines({"\t Privilege disabled"}), privilegeAttributeLines(0));
  EXPECT_EQ(Lines({"\tThe privilege is enabled by default", "\tThe privilege is enabled",
                   "\tThe privilege was used to gain access to an object"}),
            privilegeAttributeLines(0x80000003));
  EXPECT_EQ(Lines({"\tThe privilege is enabled"}), privilegeAttributeLines(0x2));
  // A bit without a name is not "disabled".
  EXPECT_EQ(Lines(), privilegeAttributeLines(0x4));
}

TEST(TokenText, AccessMasksListTheProcessRightsOrAllAccess) {
  using token_text::accessMaskLines;
  EXPECT_EQ(Lines({"All access"}), accessMaskLines(0x1F0FFF));
  EXPECT_EQ(Lines({"All access"}), accessMaskLines(0x1F0FFF | 0x20000000));
  EXPECT_EQ(Lines({"All access"}), accessMaskLines(0x10000000));
  EXPECT_EQ(Lines({"All access"}), accessMaskLines(0x10000001));
  // One right short of all: every other right, in table order.
  EXPECT_EQ(Lines({"Terminate process", "Create thread", "Set session ID",
                   "Virtual memory operation", "Virtual memory read", "Virtual memory write",
                   "Duplicate handle", "Create process", "Set quota", "Set process information",
                   "Query process information"}),
            accessMaskLines(0x1F0FFF & ~0x100000u));
  EXPECT_EQ(Lines({"Create thread", "Synchronize"}), accessMaskLines(0x100002));
  // Standard rights outside the table write nothing.
  EXPECT_EQ(Lines(), accessMaskLines(0x000F0000));
}

TEST(TokenText, KindsTypesLevelsHeadingsAndTheLogonRule) {
  const char* kinds[] = {" - Unknown SID type", " - User", " - Group", " - Domain", " - Alias",
                         " - Well-known group", " - Deleted account", " - Invalid SID",
                         " - Unknown SID type"};
  for (std::uint32_t kind = 0; kind <= 8; ++kind) {
    EXPECT_EQ(kinds[kind], token_text::accountKindText(kind)) << kind;
  }
  EXPECT_TRUE(token_text::isLogonSid(3, 5));
  EXPECT_FALSE(token_text::isLogonSid(2, 5));
  EXPECT_FALSE(token_text::isLogonSid(4, 5));
  EXPECT_FALSE(token_text::isLogonSid(3, 21));

  EXPECT_EQ("Primary Token", token_text::tokenTypeText(1));
  EXPECT_EQ("Impersonation Token", token_text::tokenTypeText(2));
  EXPECT_EQ("Unknown token type", token_text::tokenTypeText(0));
  EXPECT_EQ("Anonymous", token_text::impersonationLevelText(0));
  EXPECT_EQ("Delegation", token_text::impersonationLevelText(3));
  EXPECT_EQ("", token_text::impersonationLevelText(4));
  EXPECT_EQ("Access Allowed for:", token_text::aceHeading(0));
  EXPECT_EQ("Access Denied for:", token_text::aceHeading(1));
  EXPECT_EQ("Ace Type = 9", token_text::aceHeading(9));
}

TEST_F(TokenDump, SidsThatCannotBeNamedSayWhy) {
  const auto logon = makeSid(5, {5, 0, 0x3E7A1});
  const auto unknown = makeSid(5, {21, 1111, 2222, 3333, 4321});
  const auto badRevision = makeSid(5, {5, 0, 1}, 2);
  const Lines lines = logOf([&](CVornD& daemon) {
    daemon.DescribeSid(logon.data());
    daemon.DescribeSid(unknown.data());
    daemon.DescribeSid(badRevision.data());
    daemon.DescribeSid(nullptr);
    daemon.DescribeGroupAttributes(0xC0000007);
    daemon.DescribeAccessMask(0x1F0FFF);
    daemon.DescribeAccessMask(0x401);
  });
  EXPECT_EQ(Lines({"Logon ID Sid", "Cannot look up SID - err = 1332", "Invalid SID!",
                   "Invalid SID!", "\tMandatory group", "\tEnabled by default", "\tEnabled group",
                   "\tLogon ID", "All access", "Terminate process", "Query process information"}),
            lines);
}

TEST_F(TokenDump, TheProcessTokenIsDumpedSectionBySectionInOrder) {
  RecordingQuery query;
  const Lines lines = linesOf(dump(query));
  EXPECT_EQ(platform::kTokenQuery | platform::kTokenQuerySource | platform::kReadControl,
            query.openedWith);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("", lines[0]);
  // The process's own account has a name, of the user kind.
  const std::string user = lines[1];
  ASSERT_EQ(0u, user.rfind("Token User - ", 0)) << user;
  EXPECT_NE(std::string::npos, user.find('\\')) << user;
  EXPECT_EQ(user.size() - 7, user.rfind(" - User")) << user;

  // The sections, each after its empty line.
  const char* headings[] = {"Token Groups:", "Token Privileges:", "Token Owner: ",
                            "Token Primary Group: ", "Token Default DACL:"};
  std::size_t last = 1;
  for (const char* heading : headings) {
    const std::size_t at = indexStartingWith(lines, heading);
    ASSERT_LT(at, lines.size()) << heading;
    EXPECT_LT(last, at) << heading;
    EXPECT_EQ("", lines[at - 1]) << heading;
    last = at;
  }
  // The source is named where the system has one; where it refuses, the
  // dump stops there.
  const std::size_t source = indexStartingWith(lines, "Token Source: ");
  if (source == lines.size()) {
    EXPECT_EQ("GetTokenInformation failed! Error = 1", lines.back());
    EXPECT_EQ(lines.size(), indexStartingWith(lines, "Token type: "));
    return;
  }
  EXPECT_LT(last, source);
  EXPECT_EQ(Lines({"", "Token type: Primary Token", "", "Token is not an impersonation token"}),
            Lines(lines.end() - 4, lines.end()));
  // Every class asked once, in order, none after the statistics.
  ASSERT_EQ(10u, query.asks.size());
  for (std::uint32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(static_cast<TokenClass>(i + 1), query.asks[i].first);
  }
}

TEST_F(TokenDump, AClassNeedingMoreThanTheFirstBufferIsAskedTwiceAndWrittenOnce) {
  RecordingQuery query;
  query.inflated = TokenClass::kGroups;
  query.inflatedSize = 8192;
  const Lines lines = linesOf(dump(query));

  ASSERT_GE(query.asks.size(), 3u);
  EXPECT_EQ(std::make_pair(TokenClass::kUser, 512u), query.asks[0]);
  EXPECT_EQ(std::make_pair(TokenClass::kGroups, 512u), query.asks[1]);
  EXPECT_EQ(std::make_pair(TokenClass::kGroups, 8192u), query.asks[2]);
  for (std::size_t i = 3; i < query.asks.size(); ++i) {
    EXPECT_NE(TokenClass::kGroups, query.asks[i].first);
    EXPECT_EQ(8192u, query.asks[i].second) << i;
  }
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Token Groups:"));
  EXPECT_LT(indexOf(lines, "Token Groups:"), indexOf(lines, "Token Privileges:"));
}

TEST_F(TokenDump, FailuresWriteTheirLineAndStopTheDump) {
  RecordingQuery failing;
  failing.failing = TokenClass::kPrivileges;
  failing.failingError = platform::kErrorAccessDenied;
  const Lines lines = linesOf(dump(failing));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("GetTokenInformation failed! Error = 5", lines.back());
  EXPECT_LT(indexOf(lines, "Token Groups:"), lines.size());
  EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "Token Privileges:"));
  EXPECT_EQ(TokenClass::kPrivileges, failing.asks.back().first);

  class Unopenable : public TokenQuery {
   public:
    bool open(std::uint32_t) override {
      platform::setLastError(platform::kErrorAccessDenied);
      return false;
    }
    bool information(TokenClass, void*, std::uint32_t, std::uint32_t*) override {
      ADD_FAILURE() << "asked without a token";
      return false;
    }
  } unopenable;
  EXPECT_EQ("Couldn't open my own token\n", dump(unopenable));
}

// Source, type and level as an impersonation token would give them. The
// source starts with its 8 name characters, type and level are one 32-bit
// number: so on every platform.
TEST_F(TokenDump, SourceTypeAndLevelOfAnImpersonationTokenAndAnUnnamedLevel) {
  auto number = [](std::uint32_t value) {
    std::vector<unsigned char> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
  };
  std::vector<unsigned char> source = {'v', 'o', 'r', 'n', 'T', 'e', 's', 't'};
  source.resize(16);  // and a zero source identifier

  RecordingQuery named;
  named.given = {{TokenClass::kSource, source},
                 {TokenClass::kType, number(platform::kTokenImpersonation)},
                 {TokenClass::kImpersonationLevel, number(3)}};
  const std::string text = dump(named);
  const std::string tail =
      "\nToken Source: vornTest\n\nToken type: Impersonation Token\n\nImpersonation level: "
      "Delegation\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));

  source[5] = '\0';  // the name ends at its first zero byte
  RecordingQuery unnamed;
  unnamed.given = {{TokenClass::kSource, source},
                   {TokenClass::kType, number(7)},
                   {TokenClass::kImpersonationLevel, number(9)}};
  const std::string cut = dump(unnamed);
  const std::string unnamedTail =
      "\nToken Source: vornT\n\nToken type: Unknown token type\n\nImpersonation level: ";
  ASSERT_GE(cut.size(), unnamedTail.size());
  EXPECT_EQ(unnamedTail, cut.substr(cut.size() - unnamedTail.size()));
}

TEST(TokenDrives, TheDrivesLineGivesTheSystemsMask) {
  testing_support::TemporaryDirectory dir;
  DumpingDaemon daemon(dir.file("drives.log"));
  daemon.DumpDrives();
  daemon.closeLog();
  const std::uint32_t mask = platform::logicalDrives();
  EXPECT_NE(0u, mask & 4u) << "no drive C:";
  EXPECT_EQ("I can see drives: " + std::to_string(mask) + "\n", logText(dir.file("drives.log")));
}

class TokenDumpAtStartup : public ::testing::Test {
 protected:
  TokenDumpAtStartup()
      : m_name(testing_support::uniqueName("tokenlog")),
        m_service("SYSTEM\\CurrentControlSet\\Services\\" + m_name) {}

  Lines runWithDetailedLogging(bool detailed) {
    EXPECT_EQ(0u, m_service.setText("Config", "LogCreate", "Yes"));
    EXPECT_EQ(0u, m_service.setText("Config", "CreateDesktop", "No"));
    EXPECT_EQ(0u, m_service.setText("Config", "LogAllEvents", detailed ? "Yes" : "No"));
    EXPECT_EQ(0u, m_service.setText("Config", "LogFileName", m_dir.file("daemon.log")));
    testing_support::RecordingTap tap;
    testing_support::DaemonRunner<PortlessDaemon> run(m_name);
    run.start();
    EXPECT_TRUE(testing_support::waitForState(tap, platform::kServiceRunning));
    for (int i = 0; i < 1000; ++i) {
      if (readFile(m_dir.file("daemon.log")).find("handleClients - ") != std::string::npos) break;
      platform::sleepMs(10);
    }
    run.stop();
    return linesOf(readFile(m_dir.file("daemon.log")));
  }

  class PortlessDaemon : public CVornD {
   public:
    explicit PortlessDaemon(const std::string& name)
        : CVornD(name, name, platform::kServiceWin32OwnProcess) {
      m_config.SockPort = testing_support::freePort();
    }
  };

  std::string m_name;
  testing_support::ScopedRegistryKey m_service;
  testing_support::TemporaryDirectory m_dir;
};

TEST_F(TokenDumpAtStartup, DetailedLoggingDumpsTokenAndDrivesRightAfterTheConfiguration) {
  const Lines lines = runWithDetailedLogging(true);
  const std::size_t user = indexStartingWith(lines, "Token User - ");
  ASSERT_LT(user, lines.size());
  ASSERT_GE(user, 2u);
  EXPECT_EQ("", lines[user - 1]);
  EXPECT_EQ("StatusPageFrom()", lines[user - 2]);  // the configuration's last line

  const std::size_t drives = indexOf(lines, "I can see drives: " +
                                                std::to_string(platform::logicalDrives()));
  ASSERT_LT(drives, lines.size());
  EXPECT_LT(user, drives);
  // Start-up goes on with the listener.
  EXPECT_EQ(drives + 1, indexStartingWith(lines, "createListener complete"));
  if (lines[drives - 1] != "GetTokenInformation failed! Error = 1") {
    EXPECT_EQ(Lines({"", "Token type: Primary Token", "", "Token is not an impersonation token"}),
              Lines(lines.begin() + static_cast<std::ptrdiff_t>(drives) - 4,
                    lines.begin() + static_cast<std::ptrdiff_t>(drives)));
  }
}

TEST_F(TokenDumpAtStartup, WithoutDetailedLoggingNeitherIsWritten) {
  const Lines lines = runWithDetailedLogging(false);
  ASSERT_LT(indexOf(lines, "CVornD::Run starting"), lines.size());
  for (const std::string& line : lines) {
    EXPECT_NE(0u, line.rfind("Token ", 0)) << line;
    EXPECT_NE(0u, line.rfind("I can see drives", 0)) << line;
  }
}

}  // namespace

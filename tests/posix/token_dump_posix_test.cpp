// The token of a Linux process: its credentials and capabilities, as the
// dump names them, for root and for accounts without rights.
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "daemon/vornd.h"
#include "platform/error.h"
#include "platform/token.h"
#include "posix/throwaway_account.h"
#include "temp_dir.h"

using testing_support::linesOf;
using testing_support::readFile;
using Lines = std::vector<std::string>;

namespace {

std::string host() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  const std::string full = name;
  return full.substr(0, full.find('.'));
}

std::string groupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::string();
}

// A capability set from /proc, as the kernel reports it.
std::uint64_t capabilitySet(const char* which) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string label = std::string(which) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(label, 0) == 0) return std::stoull(line.substr(label.size()), nullptr, 16);
  }
  return 0;
}

// The lines of a section: after its heading, up to the next empty line.
Lines section(const Lines& lines, const std::string& heading) {
  auto at = std::find(lines.begin(), lines.end(), heading);
  if (at == lines.end()) return {"<no " + heading + ">"};
  auto end = std::find(at + 1, lines.end(), "");
  return Lines(at + 1, end);
}

const std::string& lineStartingWith(const Lines& lines, const std::string& prefix) {
  static const std::string none = "<none>";
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return none;
}

class DumpingDaemon : public CVornD {
 public:
  explicit DumpingDaemon(const std::string& logPath)
      : CVornD("tokenposix", "tokenposix", platform::kServiceWin32OwnProcess) {
    m_log.open(logPath);
  }
};

class TokenDumpPosix : public ::testing::Test {
 protected:
  // The dump of a child that took on these ids; empty on failure. The log
  // is opened before the ids change, so any account can write it.
  std::string dumpAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    const std::string path = m_dir.file("dump" + std::to_string(m_runs++) + ".log");
    const pid_t child = fork();
    if (child == 0) {
      DumpingDaemon daemon(path);
      if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        _exit(10);
      }
      daemon.DumpToken();
      daemon.DumpDrives();
      _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      return {};
    }
    return readFile(path);
  }

  testing_support::TemporaryDirectory m_dir;
  int m_runs = 0;
};

TEST(TokenPosix, ClassesSizesNamesAndTheirFailures) {
  platform::ProcessToken token = nullptr;
  ASSERT_TRUE(platform::openProcessToken(platform::kTokenQuery, token));

  // Too small: 122 and the size; exactly that size is enough.
  std::uint32_t needed = 0;
  std::vector<unsigned char> buffer(4);
  EXPECT_FALSE(platform::getTokenInformation(token, platform::TokenClass::kGroups, buffer.data(),
                                             4, &needed));
  EXPECT_EQ(platform::kErrorInsufficientBuffer, platform::lastError());
  ASSERT_GT(needed, 4u);
  buffer.assign(needed, 0);
  ASSERT_TRUE(platform::getTokenInformation(token, platform::TokenClass::kGroups, buffer.data(),
                                            needed, &needed));
  ASSERT_LE(1u, platform::tokenGroupCount(buffer.data()));
  const platform::SidAndAttributes first = platform::tokenGroup(buffer.data(), 0);
  EXPECT_EQ(0x7u, first.attributes);
  // S-1-22-2-<gid>: the effective group first.
  ASSERT_TRUE(platform::isValidSid(first.sid));
  ASSERT_EQ(2u, platform::sidSubAuthorityCount(first.sid));
  EXPECT_EQ(2u, platform::sidSubAuthority(first.sid, 0));
  EXPECT_EQ(getegid(), platform::sidSubAuthority(first.sid, 1));

  buffer.assign(512, 0);
  EXPECT_FALSE(platform::getTokenInformation(token, platform::TokenClass::kImpersonationLevel,
                                             buffer.data(), 512, &needed));
  EXPECT_EQ(platform::kErrorInvalidParameter, platform::lastError());
  ASSERT_TRUE(platform::getTokenInformation(token, platform::TokenClass::kUser, buffer.data(),
                                            512, &needed));
  const platform::SidAndAttributes user = platform::tokenUser(buffer.data());
  EXPECT_EQ(0u, user.attributes);
  char name[128];
  char domain[128];
  std::uint32_t kind = 0;
  ASSERT_TRUE(platform::lookupAccountSid(user.sid, name, 128, domain, 128, kind));
  EXPECT_EQ(platform::kSidTypeUser, kind);
  EXPECT_EQ(host(), domain);
  EXPECT_EQ(getpwuid(geteuid())->pw_name, std::string(name));
  EXPECT_FALSE(platform::lookupAccountSid(user.sid, name, 1, domain, 128, kind));
  EXPECT_EQ(platform::kErrorInsufficientBuffer, platform::lastError());
  platform::closeToken(token);

  char privilege[66];
  ASSERT_TRUE(platform::lookupPrivilegeName({0, 0}, privilege, 66));
  EXPECT_EQ("cap_chown", std::string(privilege));
  ASSERT_TRUE(platform::lookupPrivilegeName({40, 0}, privilege, 66));
  EXPECT_EQ("cap_checkpoint_restore", std::string(privilege));
  EXPECT_FALSE(platform::lookupPrivilegeName({41, 0}, privilege, 66));
  EXPECT_EQ(platform::kErrorNoSuchPrivilege, platform::lastError());
  EXPECT_FALSE(platform::lookupPrivilegeName({0, 1}, privilege, 66));
  EXPECT_EQ(platform::kErrorNoSuchPrivilege, platform::lastError());
  EXPECT_FALSE(platform::lookupPrivilegeName({0, 0}, privilege, 9));
  EXPECT_EQ(platform::kErrorInsufficientBuffer, platform::lastError());

  EXPECT_EQ(4u, platform::logicalDrives());
}

TEST_F(TokenDumpPosix, RootIsNamedWithItsGroupsAndHoldsItsCapabilities) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const Lines lines = linesOf(dumpAs(0, 0, {0}));
  ASSERT_FALSE(lines.empty());
  const std::string h = host();
  EXPECT_EQ("Token User - " + h + "\\root - User", lines[1]);
  EXPECT_EQ("", lines[2]);  // the user entry has no attribute lines
  EXPECT_EQ(Lines({h + "\\" + groupName(0) + " - Group", "\tMandatory group",
                   "\tEnabled by default", "\tEnabled group"}),
            section(lines, "Token Groups:"));
  EXPECT_EQ("Token Owner: " + h + "\\root - User", lineStartingWith(lines, "Token Owner: "));
  EXPECT_EQ("Token Primary Group: " + h + "\\" + groupName(0) + " - Group",
            lineStartingWith(lines, "Token Primary Group: "));

  // Every capability root holds, by name, and none it lacks.
  const std::uint64_t permitted = capabilitySet("CapPrm");
  const std::uint64_t effective = capabilitySet("CapEff");
  const Lines privileges = section(lines, "Token Privileges:");
  const auto named = std::count_if(privileges.begin(), privileges.end(),
                                   [](const std::string& line) { return line[0] != '\t'; });
  EXPECT_EQ(static_cast<long>(std::bitset<64>(permitted | effective).count()), named);
  const struct {
    int bit;
    const char* name;
  } probes[] = {{0, "cap_chown"}, {7, "cap_setuid"}, {21, "cap_sys_admin"},
                {24, "cap_sys_resource"}};
  for (const auto& probe : probes) {
    const auto at = std::find(privileges.begin(), privileges.end(), probe.name);
    const bool held = ((permitted | effective) >> probe.bit) & 1;
    ASSERT_EQ(held, at != privileges.end()) << probe.name;
    if (!held) continue;
    Lines attributes;
    if ((permitted >> probe.bit) & 1) attributes.push_back("\tThe privilege is enabled by default");
    if ((effective >> probe.bit) & 1) attributes.push_back("\tThe privilege is enabled");
    EXPECT_EQ(attributes, Lines(at + 1, at + 1 + static_cast<long>(attributes.size())));
  }

  EXPECT_EQ(Lines(), section(lines, "Token Default DACL:"));
  const Lines tail = {"Token Source: Linux", "", "Token type: Primary Token", "",
                      "Token is not an impersonation token", "I can see drives: 4"};
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_EQ(tail, Lines(lines.end() - static_cast<long>(tail.size()), lines.end()));
}

TEST_F(TokenDumpPosix, AnAccountWithoutRightsHasItsGroupsAndNoCapabilities) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create an account";
  testing_support::ThrowAwayAccount account;
  ASSERT_TRUE(account.create());
  const passwd* entry = getpwnam(account.name().c_str());
  ASSERT_NE(nullptr, entry);
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  const gid_t extra = 65534;
  if (groupName(extra).empty() || extra == gid) GTEST_SKIP() << "no second group to test with";

  const Lines lines = linesOf(dumpAs(uid, gid, {extra, gid}));
  ASSERT_FALSE(lines.empty());
  const std::string h = host();
  EXPECT_EQ("Token User - " + h + "\\" + account.name() + " - User", lines[1]);
  // The effective group first, then the other supplementary one.
  const Lines attributes = {"\tMandatory group", "\tEnabled by default", "\tEnabled group"};
  Lines groups = {h + "\\" + groupName(gid) + " - Group"};
  groups.insert(groups.end(), attributes.begin(), attributes.end());
  groups.push_back(h + "\\" + groupName(extra) + " - Group");
  groups.insert(groups.end(), attributes.begin(), attributes.end());
  EXPECT_EQ(groups, section(lines, "Token Groups:"));
  EXPECT_EQ(Lines(), section(lines, "Token Privileges:"));
  EXPECT_EQ("Token Owner: " + h + "\\" + account.name() + " - User",
            lineStartingWith(lines, "Token Owner: "));
  EXPECT_EQ("Token Primary Group: " + h + "\\" + groupName(gid) + " - Group",
            lineStartingWith(lines, "Token Primary Group: "));
  EXPECT_EQ("Token type: Primary Token", lineStartingWith(lines, "Token type: "));
  EXPECT_EQ("I can see drives: 4", lines.back());
}

TEST_F(TokenDumpPosix, IdsWithoutANameCannotBeLookedUp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change ids";
  const uid_t nameless = 3999917;
  ASSERT_EQ(nullptr, getpwuid(nameless));
  ASSERT_EQ(nullptr, getgrgid(nameless));
  const Lines lines = linesOf(dumpAs(nameless, nameless, {}));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("Token User - Cannot look up SID - err = 1332", lines[1]);
  EXPECT_EQ(Lines({"Cannot look up SID - err = 1332", "\tMandatory group", "\tEnabled by default",
                   "\tEnabled group"}),
            section(lines, "Token Groups:"));
  EXPECT_EQ("Token Owner: Cannot look up SID - err = 1332",
            lineStartingWith(lines, "Token Owner: "));
}

}  // namespace

// The fail2ban filter the package installs (packaging/fail2ban/filter.d),
// run by the system's fail2ban-regex over logs written here: which lines
// it takes, and which address it takes from each.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "posix/fail2ban_regex.h"
#include "temp_dir.h"

namespace {

using testing_support::fail2banMatchedAddresses;
using testing_support::fail2banRegexProgram;
using testing_support::vorndFail2banFilterPath;

// One kind of event-log text; "@" stands for the client's address.
struct LineKind {
  std::string text;
  bool banned;
};

// Every warning the daemon writes about a client, and what the filter must
// make of it. The user names are the client's own bytes, as the log gets
// them: control characters already replaced, anything else kept.
const std::vector<LineKind>& lineKinds() {
  static const std::vector<LineKind> kinds = {
      {"Login refused for user alice from @ port 50112: wrong user name or password", true},
      {"Login refused for user alice from @ port 50113: too many failures from this address", true},
      {"No complete login record from @ port 50114 within 30 seconds", true},
      {"Connection from @ port 50115 closed: 8 connections already pending from this address",
       true},
      {"Login refused for user alice from @ port 50116: refused by the service switches", false},
      {"Login refused for user alice from @ port 50117: every login is refused by this method",
       false},
      {"Login refused for user alice from @ port 50118: authentication took too long", false},
      {"Login refused for user alice from @ port 50119: the engine could not be started", false},
      // A user name that makes up an address of its own: the one the
      // daemon wrote, at the end, is the one taken.
      {"Login refused for user x from 6.6.6.6 port 1 from @ port 50120: wrong user name or "
       "password",
       true},
      // The same made-up address before a refusal that bans nobody.
      {"Login refused for user x from 6.6.6.6 port 1 from @ port 50121: refused by the service "
       "switches",
       false},
      // A made-up reason in the name does not turn a refusal that bans
      // nobody into one that does.
      {"Login refused for user a: wrong user name from @ port 50122: authentication took too long",
       false},
      // Nor does a whole made-up refusal: longer than the daemon lets a
      // name be, but the filter does not lean on that.
      {"Login refused for user x from 6.6.6.6 port 1: wrong user name or password from @ port "
       "50125: every login is refused by this method",
       false},
      // Blanks, brackets, a colon, "WARNING", bytes that are not UTF-8.
      {"Login refused for user d[1]: WARNING \xc3\xa9\xff? from @ port 50123: wrong user name or "
       "password",
       true},
      {"Login refused for user  from @ port 50124: too many failures from this address", true},
      {"17 refusal lines left out in the last second", false},
      {"17 refusal lines left out in the last second from 3 addresses", false},
  };
  return kinds;
}

std::string replaceAddress(std::string text, const std::string& address) {
  const std::size_t at = text.find('@');
  if (at != std::string::npos) text.replace(at, 1, address);
  return text;
}

std::string timeText(const char* format, bool utc) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (utc) {
    gmtime_r(&now, &parts);
  } else {
    localtime_r(&now, &parts);
  }
  char buffer[64];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, format, &parts));
}

// The line beginnings of each place the daemon's warnings reach, up to
// their text.
struct LogForm {
  std::string name;
  std::string (*prefix)(const std::string& source);
};

const std::vector<LogForm>& logForms() {
  static const std::vector<LogForm> forms = {
      // $VORND_ROOT/log/events.log.
      {"events.log",
       [](const std::string& source) {
         return timeText("%Y-%m-%dT%H:%M:%SZ", true) + " " + source + " WARNING ";
       }},
      // rsyslog's traditional file format (Debian 12's /var/log/syslog).
      {"syslog, traditional",
       [](const std::string& source) {
         return timeText("%b %e %H:%M:%S", false) + " gate " + source + "[4242]: ";
       }},
      // rsyslog's high-precision format.
      {"syslog, RFC 3339",
       [](const std::string& source) {
         return timeText("%Y-%m-%dT%H:%M:%S.123456+00:00", true) + " gate " + source + "[4242]: ";
       }},
      // The journal as fail2ban's systemd backend hands it over, from an
      // entry without a host name.
      {"journal, no host",
       [](const std::string& source) {
         return timeText("%Y-%m-%d %H:%M:%S", false) + " " + source + "[4242]: ";
       }},
  };
  return forms;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Each kind of line in each form, each from an address of its own (the
// network's text and a number): the lines, and the addresses the filter
// must take from them, in order.
void everyKindInEveryForm(const std::string& network, std::vector<std::string>& lines,
                          std::vector<std::string>& expected) {
  int host = 1;
  for (const LogForm& form : logForms()) {
    for (const LineKind& kind : lineKinds()) {
      const std::string address = network + std::to_string(host++);
      lines.push_back(form.prefix("demo") + replaceAddress(kind.text, address));
      if (kind.banned && kind.text.find('@') != std::string::npos) expected.push_back(address);
    }
  }
}

TEST(Fail2banFilterTest, TakesTheClientOfEveryBannableWarningInEachLogForm) {
  if (fail2banRegexProgram().empty()) GTEST_SKIP() << "fail2ban-regex is not installed";
  testing_support::TemporaryDirectory dir;

  std::vector<std::string> lines;
  std::vector<std::string> expected;
  everyKindInEveryForm("192.0.2.", lines, expected);
  // events.log's other entries: never taken, even with a warning's text.
  const std::string now = timeText("%Y-%m-%dT%H:%M:%SZ", true);
  lines.push_back(now + " demo ERROR LogonUser failed: The user name or password is incorrect.");
  lines.push_back(now + " demo INFORMATION The demo service was started.");
  lines.push_back(now + " demo ERROR " + replaceAddress(lineKinds()[0].text, "198.51.100.1"));
  lines.push_back(now + " demo INFORMATION " + replaceAddress(lineKinds()[2].text, "198.51.100.2"));
  // A warning's text cut short, or with more after it.
  lines.push_back(now +
                  " demo WARNING Login refused for user alice from 198.51.100.3 port 1: "
                  "wrong user name");
  for (std::size_t kind = 0; kind < 4; ++kind) {
    lines.push_back(
        now + " demo WARNING " +
        replaceAddress(lineKinds()[kind].text, "198.51.100." + std::to_string(4 + kind)) + " (2)");
  }

  const std::string log = dir.file("vornd.log");
  writeFile(log, joined(lines));
  const auto matched = fail2banMatchedAddresses(log, vorndFail2banFilterPath());
  ASSERT_TRUE(matched.has_value()) << "fail2ban-regex failed on " << vorndFail2banFilterPath();
  EXPECT_EQ(expected, *matched) << joined(lines);
  // Four bannable kinds with an address of their own, and three with a
  // user name of the client's making, in each of the four forms.
  EXPECT_EQ(expected.size(), 4u * 7u);
}

TEST(Fail2banFilterTest, NarrowedToOneInstanceTakesOnlyItsLines) {
  if (fail2banRegexProgram().empty()) GTEST_SKIP() << "fail2ban-regex is not installed";
  testing_support::TemporaryDirectory dir;

  // Instance "demo" among others whose names begin or end like it.
  const std::vector<std::string> sources = {"demo", "demo2", "other", "my-demo"};
  std::vector<std::string> lines;
  std::vector<std::string> everyInstance;
  std::vector<std::string> demoOnly;
  int host = 1;
  for (const LogForm& form : logForms()) {
    for (const std::string& source : sources) {
      const std::string address = "203.0.113." + std::to_string(host++);
      lines.push_back(form.prefix(source) + replaceAddress(lineKinds()[0].text, address));
      everyInstance.push_back(address);
      if (source == "demo") demoOnly.push_back(address);
    }
  }
  const std::string log = dir.file("vornd.log");
  writeFile(log, joined(lines));

  const auto all = fail2banMatchedAddresses(log, vorndFail2banFilterPath());
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(everyInstance, *all) << joined(lines);

  // As a jail gives it: filter = vornd[_daemon=demo].
  const auto demo = fail2banMatchedAddresses(log, vorndFail2banFilterPath() + "[_daemon=demo]");
  ASSERT_TRUE(demo.has_value());
  EXPECT_EQ(demoOnly, *demo) << joined(lines);
  EXPECT_EQ(demoOnly.size(), logForms().size());
}

// IPv6 clients as the daemon writes them: canonical text, no brackets,
// in every bannable kind and every form; an IPv4-mapped one as well.
TEST(Fail2banFilterTest, TakesIpv6ClientsInTheirCanonicalText) {
  if (fail2banRegexProgram().empty()) GTEST_SKIP() << "fail2ban-regex is not installed";
  testing_support::TemporaryDirectory dir;

  std::vector<std::string> lines;
  std::vector<std::string> expected;
  everyKindInEveryForm("2001:db8::", lines, expected);
  lines.push_back(logForms()[0].prefix("demo") +
                  replaceAddress(lineKinds()[0].text, "::ffff:192.0.2.200"));
  const std::string log = dir.file("vornd.log");
  writeFile(log, joined(lines));
  const auto matched = fail2banMatchedAddresses(log, vorndFail2banFilterPath());
  ASSERT_TRUE(matched.has_value()) << "fail2ban-regex failed on " << vorndFail2banFilterPath();
  ASSERT_FALSE(matched->empty());
  // fail2ban names a mapped address by the IPv4 address it stands for.
  EXPECT_EQ(matched->back(), "192.0.2.200");
  EXPECT_EQ(expected, std::vector<std::string>(matched->begin(), matched->end() - 1))
      << joined(lines);
}

}  // namespace

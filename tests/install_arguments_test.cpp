// The words of -install as the install takes them, before it writes
// anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/service_admin.h"

namespace {

struct Parsed {
  bool refused = false;
  std::string printed;
  std::string port;
};

Parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), {"vornd", "-install"});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  CServiceAdmin admin("", "");
  testing::internal::CaptureStdout();
  Parsed result;
  result.refused = admin.parseInstallArguments(static_cast<int>(words.size()), argv.data());
  result.printed = testing::internal::GetCapturedStdout();
  result.port = admin.port();
  EXPECT_EQ(result.refused, admin.failed());
  return result;
}

std::string portRefusal(const std::string& value) {
  return "Invalid port \"" + value + "\": a whole number from 1 to 65535 is required\n";
}

TEST(InstallArguments, APortThatIsNotAWholeNumberFromOneTo65535IsRefused) {
  for (const std::string value :
       {"abc", "", "0", "00", "65536", "70000", "-1", "+80", "80x", "x80", " 80", "80 ", "8 0",
        "0x50", "1e3", "80.0", "4294967376", "99999999999999999999999"}) {
    const Parsed parsed = parse({"-port=" + value});
    EXPECT_TRUE(parsed.refused) << '"' << value << '"';
    EXPECT_EQ(portRefusal(value), parsed.printed) << '"' << value << '"';
  }
  // The option's name ignores letter case, so its check does too.
  EXPECT_EQ(portRefusal("abc"), parse({"-PORT=abc"}).printed);
}

TEST(InstallArguments, PortsFromOneTo65535AreTakenAsWritten) {
  for (const std::string value : {"1", "80", "8060", "65535", "065535"}) {
    const Parsed parsed = parse({"-port=" + value});
    EXPECT_FALSE(parsed.refused) << value;
    EXPECT_EQ("", parsed.printed) << value;
    EXPECT_EQ(value, parsed.port);
  }
  // No -port= at all leaves the default to the install.
  const Parsed none = parse({"-name=x"});
  EXPECT_FALSE(none.refused);
  EXPECT_EQ("", none.port);
}

TEST(InstallArguments, APortRefusalTakesItsPlaceAmongTheOthers) {
  const Parsed parsed = parse({"word", "-port=0", "-AM=x", "-port=8061"});
  EXPECT_TRUE(parsed.refused);
  EXPECT_EQ("Sorry, I don't know what to do with 'word'\n" + portRefusal("0") +
                "Authentication Method (-AM) must be 'Vorn' or 'LogonUser'\n",
            parsed.printed);
}

// The options are an exact list: a word beginning with "-" that is none of
// them is refused by name, so a typo cannot leave the instance on defaults.
TEST(InstallArguments, OnlyTheKnownOptionsAreTaken) {
  for (const std::string word :
       {"-name=a", "-displayName=A", "-ENGINE=e", "-Port=80", "-am=Vorn", "-Debug", "-LOG",
        "-log=f", "-logdir", "-LogDir=", "-INSTALL", "/x", "A=b"}) {
    const Parsed parsed = parse({word});
    EXPECT_FALSE(parsed.refused) << word;
    EXPECT_EQ("", parsed.printed) << word;
  }
  for (const std::string word : {"-prot=8070", "-portt=9000", "-lgo", "-logs", "-debugx",
                                 "-logdirs=x", "-remove", "-", "-name", "-displayname=A"}) {
    const Parsed parsed = parse({word});
    EXPECT_TRUE(parsed.refused) << word;
    EXPECT_EQ(0u, parsed.printed.rfind("Unknown install option '" + word + "'", 0))
        << parsed.printed;
  }
}

}  // namespace

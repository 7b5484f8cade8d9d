// The words of -install as the install takes them, before it writes
// anything.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "admin/service_admin.h"
#include "temp_dir.h"

namespace {

struct Parsed {
  bool refused = false;
  std::string printed;
  std::string port;
  std::string sockTls;
  std::optional<std::string> certificate;
  std::optional<std::string> key;
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
  result.sockTls = admin.sockTls();
  result.certificate = admin.certificateFile();
  result.key = admin.keyFile();
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
        "-log=f", "-logdir", "-LogDir=", "-INSTALL", "-TLS=no", "/x", "A=b"}) {
    const Parsed parsed = parse({word});
    EXPECT_FALSE(parsed.refused) << word;
    EXPECT_EQ("", parsed.printed) << word;
  }
  for (const std::string word : {"-prot=8070", "-portt=9000", "-lgo", "-logs", "-debugx",
                                 "-logdirs=x", "-remove", "-", "-name", "-displayname=A",
                                 "-tls", "-tlsmode=no", "-certificate=x", "-keyfile=x"}) {
    const Parsed parsed = parse({word});
    EXPECT_TRUE(parsed.refused) << word;
    EXPECT_EQ(0u, parsed.printed.rfind("Unknown install option '" + word + "'", 0))
        << parsed.printed;
  }
}

class InstallTlsArguments : public ::testing::Test {
 protected:
  InstallTlsArguments() {
    testing_support::writeFile(m_cert, "certificate\n");
    testing_support::writeFile(m_key, "key\n");
  }
  testing_support::TemporaryDirectory m_dir;
  const std::string m_cert = m_dir.file("cert.pem");
  const std::string m_key = m_dir.file("key.pem");
};

// Any letter case, as the daemon reads SockTLS; stored as its dump shows it.
TEST_F(InstallTlsArguments, EachModeIsStoredCapitalisedWithItsFiles) {
  for (const auto& [word, stored] : {std::pair<std::string, std::string>{"-tls=no", "No"},
                                     {"-TLS=Optional", "Optional"},
                                     {"-Tls=REQUIRED", "Required"}}) {
    const Parsed parsed = parse({word, "-cert=" + m_cert, "-KEY=" + m_key});
    EXPECT_EQ("", parsed.printed) << word;
    EXPECT_EQ(stored, parsed.sockTls) << word;
    EXPECT_EQ(m_cert, parsed.certificate.value_or("(none)"));
    EXPECT_EQ(m_key, parsed.key.value_or("(none)"));
  }
  // Nothing asked for, nothing taken; -tls=no needs no files.
  const Parsed none = parse({"-port=80"});
  EXPECT_EQ("", none.sockTls);
  EXPECT_FALSE(none.certificate || none.key);
  EXPECT_FALSE(parse({"-tls=no"}).refused);
}

// What the daemon could not serve by is refused here, while the
// administrator is still at the console.
TEST_F(InstallTlsArguments, WhatCannotServeIsRefused) {
  const std::string missing = m_dir.file("missing.pem");
  const std::string unread = "' cannot be read: " + std::string(std::strerror(ENOENT)) + "\n";
  const std::string badMode = "TLS (-tls) must be 'no', 'optional' or 'required'\n";
  const std::string noPair =
      ") needs a certificate and its key (-cert=certificate_file -key=key_file)\n";
  const struct {
    std::vector<std::string> words;
    std::string printed;
  } cases[] = {
      {{"-tls=", "-cert=" + m_cert, "-key=" + m_key}, badMode},
      {{"-tls=yes", "-cert=" + m_cert, "-key=" + m_key}, badMode},
      {{"-tls=requiredx", "-cert=" + m_cert, "-key=" + m_key}, badMode},
      {{"-tls=required"}, "TLS (-tls=required" + noPair},
      {{"-tls=optional", "-cert=" + m_cert}, "TLS (-tls=optional" + noPair},
      {{"-tls=Required", "-key=" + m_key}, "TLS (-tls=required" + noPair},
      {{"-tls=required", "-cert=" + missing, "-key=" + m_key},
       "The certificate file '" + missing + unread},
      {{"-cert=" + m_cert, "-key=" + missing}, "The key file '" + missing + unread},
  };
  for (const auto& c : cases) {
    const Parsed parsed = parse(c.words);
    EXPECT_TRUE(parsed.refused) << c.printed;
    EXPECT_EQ(c.printed, parsed.printed);
  }
  // A folder opens, and is still no file to read; an empty path is none
  // either (the reasons are the C library's, which differ between systems).
  for (const std::string& path : {m_dir.path().string(), std::string()}) {
    const Parsed parsed = parse({"-cert=" + path, "-key=" + m_key});
    EXPECT_TRUE(parsed.refused) << path;
    EXPECT_EQ(0u, parsed.printed.rfind("The certificate file '" + path + "' cannot be read: ", 0))
        << parsed.printed;
  }
}

}  // namespace

// `vornd --version`: the one version the package and the manual pages
// carry too, the build's date, and the TLS library the relay links.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "posix/run_program.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(VersionWord, PrintsTheVersionThePackageAndTheManualPagesCarry) {
  const std::string bin = VORND_BINARY_DIR;
  for (const char* word : {"--version", "-version", "-Version"}) {
    const auto run = testing_support::runProgram(bin + "/vornd", {word}, "", "", 15000);
    ASSERT_EQ(run.exitCode, 0) << word << ": " << run.err;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(run.out, parts,
                                 std::regex("vornd ([0-9.]+)\nbuilt [0-9]{4}-[0-9]{2}-[0-9]{2}\n"
                                            "TLS: (.*)\n")))
        << run.out;
    const std::string version = parts[1];
    // The package's version is the changelog's first entry.
    const std::string changelog = readAll(std::string(VORND_SOURCE_DIR) + "/packaging/changelog");
    EXPECT_EQ(changelog.rfind("vornd (" + version + ")", 0), 0u) << changelog.substr(0, 40);
    for (const char* page : {"vornd.8", "vornreg.8", "vornlogin.1", "vorn-echo-engine.1"}) {
      const std::string text = readAll(std::string(VORND_SOURCE_DIR) + "/man/" + page);
      EXPECT_NE(text.find("\"vornd " + version + "\""), std::string::npos) << page;
    }
    if (access((bin + "/vornd-tls").c_str(), X_OK) == 0) {
      EXPECT_EQ(parts[2].str().rfind("OpenSSL 3.", 0), 0u) << parts[2];
    } else {
      EXPECT_EQ(parts[2].str(), "none (no vornd-tls beside this program)");
    }
  }
}

}  // namespace

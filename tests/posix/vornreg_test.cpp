// vornreg: its command line and data forms directly, and the built program
// run on a throw-away state root as a user runs it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "posix/run_program.h"
#include "temp_dir.h"
#include "vornreg/command_line.h"
#include "vornreg/value_data.h"

namespace {

using vornreg::Operation;
using vornreg::parseCommandLine;

const std::string kVornreg = std::string(VORND_BINARY_DIR) + "/vornreg";

std::string bytes(std::initializer_list<int> values) {
  std::string data;
  for (int value : values) data += static_cast<char>(value);
  return data;
}

// --- The command line --------------------------------------------------------

TEST(VornregCommandLine, SwitchesIgnoreCaseAndTakeEitherPrefix) {
  const auto parsed = parseCommandLine({"Add", "hkey_local_machine\\SOFTWARE\\A\\", "-V", "Port",
                                        "/T", "reg_dword", "-d", "0x10", "/F"});
  ASSERT_TRUE(parsed.command) << parsed.error;
  EXPECT_EQ(Operation::kAdd, parsed.command->operation);
  EXPECT_EQ("SOFTWARE\\A", parsed.command->subKey);
  EXPECT_EQ("Port", parsed.command->valueName.value_or("<none>"));
  EXPECT_EQ(platform::kRegDword, parsed.command->type);
  EXPECT_EQ(bytes({0x10, 0, 0, 0}), parsed.command->data);
  EXPECT_TRUE(parsed.command->force);
}

TEST(VornregCommandLine, TheWordAfterASwitchIsTakenAsItStands) {
  const auto parsed = parseCommandLine({"add", "HKLM\\A", "/v", "/f", "/d", "-ve"});
  ASSERT_TRUE(parsed.command) << parsed.error;
  EXPECT_EQ("/f", parsed.command->valueName.value_or("<none>"));
  EXPECT_EQ(std::string("-ve") + '\0', parsed.command->data);
  EXPECT_FALSE(parsed.command->force);

  const auto data = parseCommandLine({"add", "HKLM\\A", "/D", "/?"});
  ASSERT_TRUE(data.command) << data.error;
  EXPECT_EQ(Operation::kAdd, data.command->operation);
  EXPECT_EQ(std::string("/?") + '\0', data.command->data);
}

TEST(VornregCommandLine, AddAloneCreatesTheKeyAndDataAloneMeansTheDefaultValue) {
  auto parsed = parseCommandLine({"add", "HKLM\\A"});
  ASSERT_TRUE(parsed.command);
  EXPECT_FALSE(parsed.command->valueName);

  parsed = parseCommandLine({"add", "HKLM\\A", "/t", "REG_DWORD"});
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ("", parsed.command->valueName.value_or("<none>"));
  EXPECT_EQ(bytes({0, 0, 0, 0}), parsed.command->data);

  parsed = parseCommandLine({"add", "HKLM", "/d", "x"});
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ("", parsed.command->subKey);
  EXPECT_EQ("", parsed.command->valueName.value_or("<none>"));
}

TEST(VornregCommandLine, SyntaxErrorsNameTheFaultAndTheOperationsHelp) {
  struct Case {
    std::vector<std::string> args;
    std::string detail;
    std::string operation;
  };
  const Case cases[] = {
      {{}, "Name an operation", "VORNREG"},
      {{"copy", "HKLM\\A"}, "Unknown operation 'copy'", "VORNREG"},
      {{"query"}, "Name a key first", "VORNREG QUERY"},
      {{"add", "/v", "x"}, "Name a key first", "VORNREG ADD"},
      {{"add", "HKLM\\A", "/v", "x", "/ve"}, "Give /v or /ve, not both", "VORNREG ADD"},
      {{"query", "HKLM\\A", "/ve", "/v", "x"}, "Give /v or /ve, not both", "VORNREG QUERY"},
      {{"delete", "HKLM\\A", "/v", "x", "/va"}, "only one of /v, /ve and /va", "VORNREG DELETE"},
      {{"add", "HKLM\\A", "/v", "x", "/d"}, "/d needs an argument", "VORNREG ADD"},
      {{"add", "HKLM\\A", "extra"}, "Unexpected argument 'extra'", "VORNREG ADD"},
      {{"query", "HKLM\\A", "/va"}, "Unknown switch '/va'", "VORNREG QUERY"},
      {{"delete", "HKLM\\A", "/s"}, "Unknown switch '/s'", "VORNREG DELETE"},
      {{"add", "HKLM\\A", "/f", "-F"}, "given twice", "VORNREG ADD"},
      {{"add", "HKLM\\A", "/t", "REG_MULTI_SZ", "/s", "ab"}, "single character", "VORNREG ADD"},
      {{"add", "HKLM\\A", "/s", ","}, "REG_MULTI_SZ only", "VORNREG ADD"},
  };
  for (const Case& c : cases) {
    const auto parsed = parseCommandLine(c.args);
    EXPECT_FALSE(parsed.command);
    EXPECT_EQ(0u, parsed.error.rfind("ERROR: Invalid syntax. ", 0)) << parsed.error;
    EXPECT_NE(std::string::npos, parsed.error.find(c.detail)) << parsed.error;
    EXPECT_NE(std::string::npos,
              parsed.error.find("\nType \"" + c.operation + " /?\" for usage.\n"))
        << parsed.error;
  }
}

TEST(VornregCommandLine, OnlyTheLocalMachineRootIsAccepted) {
  EXPECT_TRUE(parseCommandLine({"query", "hklm"}).command);
  EXPECT_TRUE(parseCommandLine({"query", "HKEY_LOCAL_MACHINE\\X"}).command);
  EXPECT_NE(
      std::string::npos,
      parseCommandLine({"query", "HKCU\\Software"}).error.find("HKEY_CURRENT_USER does not exist"));
  EXPECT_NE(std::string::npos,
            parseCommandLine({"add", "HKEY_USERS\\x"}).error.find("HKEY_USERS does not exist"));
  EXPECT_EQ(0u, parseCommandLine({"query", "HKLMX\\A"}).error.rfind("ERROR: Invalid key name.", 0));
  EXPECT_NE(std::string::npos,
            parseCommandLine({"query", "\\\\host\\HKLM\\A"}).error.find("Remote"));
  // The root holds everything: deleting it is refused, emptying it is not.
  EXPECT_FALSE(parseCommandLine({"delete", "HKLM", "/f"}).command);
  EXPECT_TRUE(parseCommandLine({"delete", "HKLM", "/va", "/f"}).command);
}

TEST(VornregCommandLine, HelpWinsWhereverItIsAsked) {
  auto parsed = parseCommandLine({"delete", "HKCU\\bad", "/zz", "/?"});
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ(Operation::kHelp, parsed.command->operation);
  EXPECT_EQ(Operation::kDelete, parsed.command->helpTopic);
  parsed = parseCommandLine({"-?"});
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ(Operation::kHelp, parsed.command->helpTopic);
}

// --- Data forms ---------------------------------------------------------------

std::string encoded(std::uint32_t type, const std::string& text, const std::string& sep = "") {
  std::string error;
  const auto data = vornreg::encodeData(type, text, true, sep, error);
  return data ? *data : "error: " + error;
}

TEST(VornregData, MultiStringItemsSplitAtTheSeparatorWithTheDoubleZero) {
  EXPECT_EQ(std::string("fax\0mail\0\0", 10), encoded(platform::kRegMultiSz, "fax\\0mail\\0"));
  EXPECT_EQ(std::string("a\0b\\0\0\0", 7), encoded(platform::kRegMultiSz, "a,b\\0", ","));
  EXPECT_EQ(std::string(1, '\0'), encoded(platform::kRegMultiSz, ""));
  EXPECT_EQ(0u, encoded(platform::kRegMultiSz, "a\\0\\0b").rfind("error: ", 0));
  EXPECT_EQ(0u, encoded(platform::kRegMultiSz, ",a", ",").rfind("error: ", 0));
}

TEST(VornregData, NumbersMustFitTheirType) {
  using platform::kRegDword;
  EXPECT_EQ(bytes({0xff, 0xff, 0xff, 0xff}), encoded(kRegDword, "4294967295"));
  EXPECT_EQ(bytes({0x78, 0x56, 0x34, 0x12}), encoded(kRegDword, "0X12345678"));
  EXPECT_EQ(bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
            encoded(vornreg::kRegQword, "0xffffffffffffffff"));
  for (const char* bad : {"4294967296", "0x100000000", "-1", "+1", "12x", "0x", "", " 1", "1.5"}) {
    EXPECT_EQ(0u, encoded(kRegDword, bad).rfind("error: '", 0)) << bad;
  }
  EXPECT_EQ(0u, encoded(vornreg::kRegQword, "18446744073709551616").rfind("error: ", 0));
}

TEST(VornregData, BinaryTakesHexDigitPairs) {
  EXPECT_EQ(bytes({0x00, 0xff, 0x1a}), encoded(platform::kRegBinary, "00fF1A"));
  EXPECT_EQ("", encoded(platform::kRegNone, ""));
  EXPECT_NE(std::string::npos, encoded(platform::kRegBinary, "abc").find("even number"));
  EXPECT_NE(std::string::npos, encoded(platform::kRegNone, "0g").find("hex digits only"));
}

TEST(VornregData, DisplayFollowsTheTypeAndSurvivesOddData) {
  using vornreg::displayData;
  EXPECT_EQ("ab", displayData(platform::kRegSz, std::string("ab\0cd\0", 6)));
  EXPECT_EQ("ab", displayData(platform::kRegExpandSz, "ab"));  // no terminator
  EXPECT_EQ("a\\0b", displayData(platform::kRegMultiSz, std::string("a\0b\0\0", 5)));
  EXPECT_EQ("a", displayData(platform::kRegMultiSz, std::string("a\0\0b\0\0", 6)));
  EXPECT_EQ("a\\0b", displayData(platform::kRegMultiSz, std::string("a\0b", 3)));
  EXPECT_EQ("", displayData(platform::kRegMultiSz, std::string(1, '\0')));
  EXPECT_EQ("0x0", displayData(platform::kRegDword, bytes({0, 0, 0, 0})));
  // A number of the wrong size shows its bytes rather than a guess.
  EXPECT_EQ("0102FF", displayData(platform::kRegDword, bytes({1, 2, 0xff})));
  EXPECT_EQ("REG_UNKNOWN (0x1c)", vornreg::typeName(28));
  EXPECT_EQ("REG_DWORD_BIG_ENDIAN", vornreg::typeName(5));
}

// --- The program --------------------------------------------------------------

using testing_support::Outcome;

// Runs vornreg with `input` on its standard input and collects both outputs.
Outcome vornreg(const std::vector<std::string>& args, const std::string& input = "") {
  return testing_support::runProgram(kVornreg, args, input);
}

constexpr const char* kDone = "The operation completed successfully.\n";
constexpr const char* kCancelled = "The operation was canceled by the user.\n";
constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";

// The stored bytes of a value, read in this process through the platform
// layer (same state root).
std::string storedData(const std::string& subKey, const std::string& name,
                       std::uint32_t* type = nullptr) {
  platform::RegKeyHandle key = nullptr;
  if (platform::regOpenKey(platform::localMachine(), subKey, platform::kKeyRead, key) != 0) {
    return "<no key>";
  }
  std::string data(256, '\0');
  std::uint32_t size = static_cast<std::uint32_t>(data.size());
  std::uint32_t found = 0;
  const platform::ErrorCode error = platform::regQueryValue(key, name, &found, data.data(), &size);
  platform::regCloseKey(key);
  if (error != 0) return "<error " + std::to_string(error) + ">";
  if (type != nullptr) *type = found;
  data.resize(size);
  return data;
}

class VornregProgram : public testing::Test {
 protected:
  testing_support::ScopedStateRoot m_root;

  void add(const std::vector<std::string>& args) {
    std::vector<std::string> all{"add"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome run = vornreg(all);
    ASSERT_EQ(0, run.exitCode) << run.err;
    ASSERT_EQ(kDone, run.out);
  }
};

TEST_F(VornregProgram, EveryTypeRoundTripsInTheLayoutOfReg) {
  const std::string key = "HKLM\\SOFTWARE\\Vt";
  add({key, "/v", "Sz", "/d", "Login service"});
  add({key, "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%PATH%;x"});
  add({key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a\\0b c"});
  add({key, "/v", "Dw", "/t", "REG_DWORD", "/d", "8061"});
  add({key, "/v", "Qw", "/t", "REG_QWORD", "/d", "0x1F"});
  add({key, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"});
  add({key, "/v", "None", "/t", "REG_NONE", "/d", "ab"});
  add({key + "\\Sub"});

  const Outcome run = vornreg({"query", "hklm\\software\\vt"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(
      "\n"
      "HKEY_LOCAL_MACHINE\\software\\vt\n"
      "    Sz    REG_SZ    Login service\n"
      "    Exp    REG_EXPAND_SZ    %PATH%;x\n"
      "    Multi    REG_MULTI_SZ    a\\0b c\n"
      "    Dw    REG_DWORD    0x1f7d\n"
      "    Qw    REG_QWORD    0x1f\n"
      "    Bin    REG_BINARY    00FF10\n"
      "    None    REG_NONE    AB\n"
      "\n"
      "HKEY_LOCAL_MACHINE\\software\\vt\\Sub\n",
      run.out);
  EXPECT_EQ("", run.err);

  // Strings keep their terminating zero, lists their double zero.
  std::uint32_t type = 0;
  EXPECT_EQ(std::string("Login service") + '\0', storedData("SOFTWARE\\Vt", "Sz", &type));
  EXPECT_EQ(platform::kRegSz, type);
  EXPECT_EQ(std::string("%PATH%;x") + '\0', storedData("SOFTWARE\\Vt", "Exp", &type));
  EXPECT_EQ(platform::kRegExpandSz, type);
  EXPECT_EQ(std::string("a\0b c\0\0", 7), storedData("SOFTWARE\\Vt", "Multi"));
  EXPECT_EQ(bytes({0x7d, 0x1f, 0, 0}), storedData("SOFTWARE\\Vt", "Dw"));
  EXPECT_EQ(bytes({0, 0xff, 0x10}), storedData("SOFTWARE\\Vt", "Bin", &type));
  EXPECT_EQ(platform::kRegBinary, type);
  storedData("SOFTWARE\\Vt", "None", &type);
  EXPECT_EQ(platform::kRegNone, type);
}

TEST_F(VornregProgram, OneValueAndTheDefaultValue) {
  add({"HKLM\\A"});
  Outcome run = vornreg({"query", "HKLM\\A", "/ve"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\A\n    (Default)    REG_SZ    (value not set)\n\n", run.out);

  add({"HKLM\\A", "/ve", "/d", "first"});
  add({"HKLM\\A", "/v", "Other", "/d", "o"});
  run = vornreg({"query", "HKLM\\A", "/VE"});
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\A\n    (Default)    REG_SZ    first\n\n", run.out);
  run = vornreg({"query", "HKLM\\A", "/v", "OTHER"});
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\A\n    Other    REG_SZ    o\n\n", run.out);

  // Data without a name goes to the default value too.
  add({"HKLM\\A", "/d", "second", "/f"});
  EXPECT_EQ(std::string("second") + '\0', storedData("A", ""));
}

TEST_F(VornregProgram, RecursiveQueriesWalkTheTree) {
  add({"HKLM\\R", "/v", "n", "/d", "top"});
  add({"HKLM\\R\\Empty"});
  add({"HKLM\\R\\Empty\\Deep", "/v", "N", "/t", "REG_DWORD", "/d", "0"});
  Outcome run = vornreg({"query", "HKLM\\R", "/s"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\R\n    n    REG_SZ    top\n"
      "\nHKEY_LOCAL_MACHINE\\R\\Empty\n"
      "\nHKEY_LOCAL_MACHINE\\R\\Empty\\Deep\n    N    REG_DWORD    0x0\n",
      run.out);

  run = vornreg({"query", "HKLM\\R", "/v", "n", "/s"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\R\n    n    REG_SZ    top\n"
      "\nHKEY_LOCAL_MACHINE\\R\\Empty\\Deep\n    N    REG_DWORD    0x0\n"
      "\nEnd of search: 2 match(es) found.\n",
      run.out);
}

TEST_F(VornregProgram, OverwriteAsksAndOnlyYesWrites) {
  add({"HKLM\\O", "/v", "V", "/d", "old"});
  const std::string prompt = "Value V exists, overwrite(Yes/No)? ";

  Outcome run = vornreg({"add", "HKLM\\O", "/v", "V", "/d", "no"}, "n\n");
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(prompt + kCancelled, run.out);
  EXPECT_EQ(std::string("old") + '\0', storedData("O", "V"));

  // No answer at all is no.
  run = vornreg({"add", "HKLM\\O", "/v", "V", "/d", "eof"});
  EXPECT_EQ(prompt + "\n" + kCancelled, run.out);
  EXPECT_EQ(std::string("old") + '\0', storedData("O", "V"));

  // Anything but yes or no asks again.
  run = vornreg({"add", "HKLM\\O", "/v", "V", "/d", "new"}, "maybe\nYES\n");
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(prompt + prompt + kDone, run.out);
  EXPECT_EQ(std::string("new") + '\0', storedData("O", "V"));

  run = vornreg({"add", "HKLM\\O", "/v", "v", "/t", "REG_DWORD", "/d", "1"}, "y\n");
  EXPECT_EQ("Value v exists, overwrite(Yes/No)? " + std::string(kDone), run.out);
  EXPECT_EQ(bytes({1, 0, 0, 0}), storedData("O", "V"));
}

TEST_F(VornregProgram, DeletesValuesAllValuesAndWholeTrees) {
  add({"HKLM\\D", "/v", "a", "/d", "1"});
  add({"HKLM\\D", "/v", "b", "/d", "2"});
  add({"HKLM\\D", "/ve", "/d", "3"});
  add({"HKLM\\D\\Sub", "/v", "c", "/d", "4"});

  Outcome run = vornreg({"delete", "HKLM\\D", "/v", "a"}, "no\n");
  EXPECT_EQ("Delete the registry value a (Yes/No)? " + std::string(kCancelled), run.out);
  EXPECT_EQ(std::string("1") + '\0', storedData("D", "a"));
  run = vornreg({"delete", "HKLM\\D", "/v", "A", "/f"});
  EXPECT_EQ(kDone, run.out);
  EXPECT_EQ("<error 2>", storedData("D", "a"));

  run = vornreg({"delete", "HKLM\\D", "/va"}, "y\n");
  EXPECT_EQ("Delete all values under the registry key HKEY_LOCAL_MACHINE\\D (Yes/No)? " +
                std::string(kDone),
            run.out);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\D\n\nHKEY_LOCAL_MACHINE\\D\\Sub\n",
            vornreg({"query", "HKLM\\D"}).out);
  EXPECT_EQ(std::string("4") + '\0', storedData("D\\Sub", "c"));

  run = vornreg({"delete", "HKLM\\D"}, "n\n");
  EXPECT_EQ("Permanently delete the registry key HKEY_LOCAL_MACHINE\\D (Yes/No)? " +
                std::string(kCancelled),
            run.out);
  EXPECT_EQ(0, vornreg({"query", "HKLM\\D\\Sub"}).exitCode);
  run = vornreg({"delete", "hklm\\d", "/f"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(kDone, run.out);
  run = vornreg({"query", "HKLM\\D\\Sub"});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(kNotFound, run.err);
}

TEST_F(VornregProgram, FailuresGoToStandardErrorWithExitCodeOne) {
  add({"HKLM\\E", "/v", "x", "/d", "1"});
  struct Case {
    std::vector<std::string> args;
    std::string errorStart;
  };
  const Case cases[] = {
      {{"query", "HKLM\\Missing"}, kNotFound},
      {{"query", "HKLM\\E", "/v", "missing"}, kNotFound},
      {{"delete", "HKLM\\E", "/v", "missing", "/f"}, kNotFound},
      {{"delete", "HKLM\\E", "/ve", "/f"}, kNotFound},
      {{"delete", "HKLM\\Missing", "/f"}, kNotFound},
      {{"add", "HKCU\\E", "/v", "x", "/d", "1"}, "ERROR: HKEY_CURRENT_USER does not exist"},
      {{"add", "HKLM\\E", "/v", "y", "/t", "REG_LINK"}, "ERROR: Invalid type 'REG_LINK'."},
      {{"add", "HKLM\\E", "/v", "y", "/t", "REG_DWORD", "/d", "99999999999"},
       "ERROR: '99999999999' is no REG_DWORD"},
      {{"add", "HKLM\\E", "/v", "y", "/t", "REG_BINARY", "/d", "abc"},
       "ERROR: REG_BINARY data needs an even number"},
      {{"add", "HKLM\\E", "/v", "y", "/x"}, "ERROR: Invalid syntax. Unknown switch '/x'."},
      {{"add", "HKLM\\E", "/v", "y", "/d"}, "ERROR: Invalid syntax. /d needs an argument."},
      {{"query", "HKLM\\E", "more"}, "ERROR: Invalid syntax. Unexpected argument 'more'."},
      {{"add", "HKLM\\E\\\\Twice"}, "ERROR: The parameter is incorrect.\n"},
  };
  for (const Case& c : cases) {
    const Outcome run = vornreg(c.args);
    EXPECT_EQ(1, run.exitCode) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(0u, run.err.rfind(c.errorStart, 0)) << run.err;
    EXPECT_EQ("", run.out);
  }
  // Nothing of that reached the registry.
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\E\n    x    REG_SZ    1\n\n", vornreg({"query", "HKLM\\E"}).out);
}

TEST_F(VornregProgram, HandWrittenTypeNumbersShowAsUnknown) {
  std::filesystem::create_directories(m_root.path());
  std::ofstream(m_root.path() + "/registry")
      << "vornd registry 1\n[H]\n\"odd\"=28:hex:01,a0\n\"big\"=5:hex:00,00,00,01\n";
  const Outcome run = vornreg({"query", "HKLM\\H"});
  EXPECT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\H\n"
      "    odd    REG_UNKNOWN (0x1c)    01A0\n"
      "    big    REG_DWORD_BIG_ENDIAN    00000001\n\n",
      run.out);
}

TEST_F(VornregProgram, ADamagedFileIsNamedWithItsLineAndLeftAlone) {
  std::filesystem::create_directories(m_root.path());
  const std::string path = m_root.path() + "/registry";
  const std::string damaged = "vornd registry 1\n[A]\n\"x\"=REG_SZ:\"no end\n[B]\n";
  std::ofstream(path, std::ios::binary) << damaged;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", "HKLM\\A", "/v", "y", "/d", "1", "/f"},
        std::vector<std::string>{"delete", "HKLM\\A", "/f"},
        std::vector<std::string>{"query", "HKLM\\A"}}) {
    const Outcome run = vornreg(args);
    EXPECT_EQ(1, run.exitCode) << args[0];
    EXPECT_EQ(0u, run.err.rfind("ERROR: " + path + ":3: ", 0)) << run.err;
    EXPECT_EQ("", run.out);
  }
  EXPECT_EQ(damaged, testing_support::readFile(path));
}

}  // namespace

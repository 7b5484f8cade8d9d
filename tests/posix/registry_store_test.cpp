// The POSIX registry file: exact round trips, hand edits, damaged files,
// and writers that race or die mid-write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/posix/registry_tree.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "posix/throwaway_account.h"
#include "service_host.h"
#include "temp_dir.h"

namespace {

using namespace platform;
using testing_support::readFile;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

struct StoredValue {
  std::string name;
  std::uint32_t type;
  std::string data;
};

class RegistryStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_root.path());
    m_file = m_root.path() + "/registry";
  }

  RegKeyHandle createKey(const std::string& path) {
    RegKeyHandle key = nullptr;
    EXPECT_EQ(regCreateKey(localMachine(), path, key), kErrorSuccess) << path;
    return key;
  }

  static std::vector<std::string> valueNames(RegKeyHandle key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; regEnumValue(key, i, name) == kErrorSuccess; ++i) {
      names.push_back(name);
    }
    return names;
  }

  static std::vector<std::string> subkeyNames(RegKeyHandle key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; regEnumKey(key, i, name) == kErrorSuccess; ++i) {
      names.push_back(name);
    }
    return names;
  }

  static ErrorCode readValue(RegKeyHandle key, const std::string& name, std::uint32_t& type,
                             std::string& data) {
    std::uint32_t size = 0;
    if (ErrorCode error = regQueryValue(key, name, &type, nullptr, &size); error != 0) {
      return error;
    }
    data.assign(size, '\0');
    const ErrorCode error = regQueryValue(key, name, &type, data.data(), &size);
    data.resize(size);
    return error;
  }

  testing_support::ScopedStateRoot m_root;
  std::string m_file;
};

std::string allBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

// Data shaped to hit every text form and every fallback to hex.
std::vector<StoredValue> awkwardValues() {
  using namespace std::string_literals;
  return {
      {"Plain", kRegSz, "C:\\Program Files\\vornd\\engine.exe\0"s},
      {"", kRegSz, "the default value\0"s},
      {"Embedded zero", kRegSz, "a\0b\0"s},
      {"No terminator", kRegSz, "abc"s},
      {"Empty data", kRegSz, ""s},
      {"Only terminator", kRegSz, "\0"s},
      {"Every byte", kRegSz, allBytes() + "\0"s},
      {"Quotes \"and\" \\slashes\\", kRegExpandSz, "%SystemRoot%\\\"q\"\0"s},
      {"Name with\nnewline, tab\t and \x01\xff", kRegExpandSz, "x\r\ny\0"s},
      {"Binary", kRegBinary, allBytes()},
      {"Binary empty", kRegBinary, ""s},
      {"Dword", kRegDword, "\x40\x1f\0\0"s},
      {"Dword high", kRegDword, "\xff\xff\xff\xff"s},
      {"Dword short", kRegDword, "\x01\x02\x03"s},
      {"Dword long", kRegDword, "\x01\x02\x03\x04\x05"s},
      {"Multi", kRegMultiSz, "one\0two words\0\0"s},
      {"Multi none", kRegMultiSz, "\0"s},
      {"Multi one empty", kRegMultiSz, "\0\0"s},
      {"Multi inner empty", kRegMultiSz, "a\0\0b\0\0"s},
      {"Multi unterminated", kRegMultiSz, "a\0b"s},
      {"Multi single nul end", kRegMultiSz, "a\0"s},
      {"Multi empty data", kRegMultiSz, ""s},
      {"None", kRegNone, "\0\x01odd"s},
      {"Type 11", 11, "12345678"s},
      {"Type max", 0xFFFFFFFFu, "\0"s},
      {"Name=with:colon", kRegBinary, "\x80"s},
  };
}

TEST_F(RegistryStoreTest, EveryTypeAndOddDataRoundTripsThroughTheFile) {
  const std::vector<StoredValue> values = awkwardValues();
  RegKeyHandle key = createKey("SYSTEM\\CurrentControlSet\\Services\\svc");
  for (const StoredValue& value : values) {
    ASSERT_EQ(regSetValue(key, value.name, value.type, value.data.data(),
                          static_cast<std::uint32_t>(value.data.size())),
              kErrorSuccess)
        << value.name;
  }
  regCloseKey(key);

  // A person can read it: one item a line, no raw control bytes.
  const std::string text = readFile(m_file);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte < 0x7F)) << "byte " << int(byte);
  }
  EXPECT_NE(text.find("\"Plain\"=REG_SZ:\"C:\\\\Program Files\\\\vornd\\\\engine.exe\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"Dword\"=REG_DWORD:0x00001f40"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Multi\"=REG_MULTI_SZ:\"one\",\"two words\""), std::string::npos) << text;

  // A rewrite from what was read changes nothing: the text form is exact.
  const StoredValue extra{"Extra", kRegSz, std::string("x\0", 2)};
  key = createKey("system\\currentcontrolset\\services\\SVC");
  ASSERT_EQ(regSetValue(key, extra.name, extra.type, extra.data.data(), 2), kErrorSuccess);
  ASSERT_EQ(regDeleteValue(key, extra.name), kErrorSuccess);
  regCloseKey(key);
  EXPECT_EQ(readFile(m_file), text);

  ASSERT_EQ(regOpenKey(localMachine(), "SYSTEM\\CurrentControlSet\\Services\\svc", kKeyRead, key),
            kErrorSuccess);
  std::vector<std::string> expectedNames;
  for (const StoredValue& value : values) {
    expectedNames.push_back(value.name);
    std::uint32_t type = 0;
    std::string data;
    ASSERT_EQ(readValue(key, value.name, type, data), kErrorSuccess) << value.name;
    EXPECT_EQ(type, value.type) << value.name;
    EXPECT_EQ(data, value.data) << value.name;
  }
  EXPECT_EQ(valueNames(key), expectedNames);
  regCloseKey(key);
}

TEST_F(RegistryStoreTest, HandEditedFileIsRead) {
  std::filesystem::create_directories(m_root.path());
  writeFile(m_file,
            "; written by hand\r\n"
            "\r\n"
            "vornd registry 1\r\n"
            "# keys may repeat and come in any order\r\n"
            "[SYSTEM\\CurrentControlSet\\Services\\svc\\Config]\r\n"
            "  \"SockPort\" = reg_expand_sz: \"8061\"  \r\n"
            "\"Flags\"=REG_DWORD:16\n"
            "\"Mask\"=REG_DWORD:0xFF00\n"
            "[software\\other]\n"
            "\"Raw\"=REG_BINARY:hex: 00, 0A,ff\n"
            "\"Odd\"=11:\"t\\x41b\\0\"\n"
            "[System\\CURRENTCONTROLSET\\services\\SVC\\config]\n"
            "\"List\"=REG_MULTI_SZ:\"a\" , \"b\\\"q\"\n"
            "\"NoStrings\"=REG_MULTI_SZ:\n"
            "[]\n"
            "\"TopValue\"=REG_SZ:\"\"\n");

  RegKeyHandle key = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), "SYSTEM\\CurrentControlSet\\Services\\svc\\Config",
                       kKeyRead, key),
            kErrorSuccess)
      << registryLastParseError();
  EXPECT_EQ(valueNames(key),
            (std::vector<std::string>{"SockPort", "Flags", "Mask", "List", "NoStrings"}));
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(readValue(key, "SockPort", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(data, std::string("8061", 5));
  ASSERT_EQ(readValue(key, "Flags", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("\x10\0\0\0", 4));
  ASSERT_EQ(readValue(key, "Mask", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("\0\xff\0\0", 4));
  ASSERT_EQ(readValue(key, "List", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("a\0b\"q\0\0", 7));
  ASSERT_EQ(readValue(key, "NoStrings", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("\0", 1));
  regCloseKey(key);

  ASSERT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Other", kKeyRead, key), kErrorSuccess);
  ASSERT_EQ(readValue(key, "Raw", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(data, std::string("\0\x0a\xff", 3));
  ASSERT_EQ(readValue(key, "Odd", type, data), kErrorSuccess);
  EXPECT_EQ(type, 11u);
  EXPECT_EQ(data, std::string("tAb\0\0", 5));
  regCloseKey(key);

  ASSERT_EQ(readValue(localMachine(), "TopValue", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("\0", 1));
  // The first spelling of a key is the one kept.
  EXPECT_EQ(subkeyNames(localMachine()), (std::vector<std::string>{"SYSTEM", "software"}));
}

TEST_F(RegistryStoreTest, DamagedFileFailsNamingFileAndLineAndStaysUntouched) {
  const std::string good =
      "vornd registry 1\n"
      "[SOFTWARE\\Good]\n"
      "\"A\"=REG_SZ:\"a\"\n";
  struct Damage {
    std::string text;
    int line;
  };
  const std::vector<Damage> damages = {
      {"", 1},
      {"; only a comment\n", 2},
      {"vornd registry 2\n", 1},
      {good + "\"B\"=REG_SZ:\"unterminated\n", 4},
      {good + "\n\"C\"=REG_SZ:\"bad \\q escape\"\n", 5},
      {good + "\"D\"=REG_TEXT:\"x\"\n", 4},
      {good + "\"E\"=REG_BINARY:hex:0,1\n", 4},
      {good + "\"F\"=REG_DWORD:0x100000000\n", 4},
      {good + "\"a\"=REG_SZ:\"again, other case\"\n", 4},
      {good + "[SOFTWARE\\\\Empty]\n", 4},
      {good + "[SOFTWARE\\Open\n", 4},
      {good + "\"G\"=REG_SZ:\"one\",\"two\"\n", 4},
      {good + "\"H\"=REG_MULTI_SZ:\"with \\0 inside\"\n", 4},
      {good + "\"I\" REG_SZ:\"x\"\n", 4},
      {good + "stray text\n", 4},
      {"vornd registry 1\n\"J\"=REG_SZ:\"no key yet\"\n", 2},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.text);
    writeFile(m_file, damage.text);
    const std::string where = m_file + ":" + std::to_string(damage.line) + ": ";

    RegKeyHandle key = nullptr;
    EXPECT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Good", kKeyRead, key),
              kErrorRegistryCorrupt);
    EXPECT_EQ(registryLastParseError().rfind(where, 0), 0u) << registryLastParseError();
    EXPECT_EQ(regCreateKey(localMachine(), "SOFTWARE\\New", key), kErrorRegistryCorrupt);
    EXPECT_EQ(regSetValue(localMachine(), "X", kRegSz, "x", 2), kErrorRegistryCorrupt);
    EXPECT_EQ(regDeleteTree(localMachine(), "SOFTWARE"), kErrorRegistryCorrupt);
    EXPECT_EQ(registryLastParseError().rfind(where, 0), 0u) << registryLastParseError();
    EXPECT_EQ(readFile(m_file), damage.text);
  }

  // Once repaired, the same calls work and the message clears.
  writeFile(m_file, good);
  RegKeyHandle key = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Good", kKeyRead, key), kErrorSuccess);
  EXPECT_EQ(registryLastParseError(), "");
  regCloseKey(key);
}

TEST_F(RegistryStoreTest, MissingFileIsAnEmptyTreeAndReadsCreateNothing) {
  std::filesystem::remove_all(m_root.path());
  RegKeyHandle key = nullptr;
  EXPECT_EQ(regOpenKey(localMachine(), "SOFTWARE", kKeyRead, key), kErrorFileNotFound);
  std::string name;
  EXPECT_EQ(regEnumKey(localMachine(), 0, name), kErrorNoMoreItems);
  EXPECT_FALSE(testing_support::fileExists(m_file));

  key = createKey("SOFTWARE\\First");
  regCloseKey(key);
  EXPECT_TRUE(testing_support::fileExists(m_file));
}

TEST_F(RegistryStoreTest, EnumerationFollowsCreationOrderAndRecreationGoesLast) {
  RegKeyHandle key = createKey("SOFTWARE\\Order");
  for (const char* name : {"Zulu", "Alpha", "Mike"}) {
    ASSERT_EQ(regSetValue(key, name, kRegSz, "v", 2), kErrorSuccess);
    RegKeyHandle sub = nullptr;
    ASSERT_EQ(regCreateKey(key, name, sub), kErrorSuccess);
    regCloseKey(sub);
  }
  // Nested keys created out of order keep each parent's own order.
  regCloseKey(createKey("SOFTWARE\\Order\\Zulu\\Late"));
  regCloseKey(createKey("SOFTWARE\\Order\\Alpha\\Inner"));
  regCloseKey(createKey("SOFTWARE\\Order\\Zulu\\Later"));

  EXPECT_EQ(valueNames(key), (std::vector<std::string>{"Zulu", "Alpha", "Mike"}));
  EXPECT_EQ(subkeyNames(key), (std::vector<std::string>{"Zulu", "Alpha", "Mike"}));
  RegKeyHandle zulu = nullptr;
  ASSERT_EQ(regOpenKey(key, "zulu", kKeyRead, zulu), kErrorSuccess);
  EXPECT_EQ(subkeyNames(zulu), (std::vector<std::string>{"Late", "Later"}));
  regCloseKey(zulu);

  ASSERT_EQ(regDeleteValue(key, "alpha"), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "ALPHA", kRegSz, "w", 2), kErrorSuccess);
  ASSERT_EQ(regDeleteTree(key, "ZULU"), kErrorSuccess);
  regCloseKey(createKey("SOFTWARE\\Order\\zulu"));
  EXPECT_EQ(valueNames(key), (std::vector<std::string>{"Zulu", "Mike", "ALPHA"}));
  EXPECT_EQ(subkeyNames(key), (std::vector<std::string>{"Alpha", "Mike", "zulu"}));
  // Values after the deleted one are still found by name.
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(readValue(key, "mike", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("v", 2));
  regCloseKey(key);
}

TEST_F(RegistryStoreTest, HandleOfADeletedKeyFails) {
  RegKeyHandle key = createKey("SOFTWARE\\Doomed\\Child");
  ASSERT_EQ(regDeleteTree(localMachine(), "SOFTWARE\\Doomed"), kErrorSuccess);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(regQueryValue(key, "X", &type, nullptr, &size), kErrorKeyDeleted);
  EXPECT_EQ(regSetValue(key, "X", kRegSz, "x", 2), kErrorKeyDeleted);
  RegKeyHandle child = nullptr;
  EXPECT_EQ(regCreateKey(key, "Below", child), kErrorKeyDeleted);
  // The write did not bring the key back.
  EXPECT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Doomed", kKeyRead, child), kErrorFileNotFound);
  regCloseKey(key);
}

TEST_F(RegistryStoreTest, RejectsPathsTheFileCannotHold) {
  RegKeyHandle key = nullptr;
  EXPECT_EQ(regCreateKey(localMachine(), "SOFTWARE\\\\Twice", key), kErrorInvalidParameter);
  EXPECT_EQ(regCreateKey(localMachine(), "\\Leading", key), kErrorInvalidParameter);
  EXPECT_EQ(regCreateKey(localMachine(), "SOFTWARE\\Line\nBreak", key), kErrorInvalidParameter);
  EXPECT_EQ(regDeleteTree(localMachine(), ""), kErrorInvalidParameter);
  EXPECT_FALSE(testing_support::fileExists(m_file));
  // A final backslash is harmless.
  ASSERT_EQ(regCreateKey(localMachine(), "SOFTWARE\\Trailing\\", key), kErrorSuccess);
  regCloseKey(key);
  ASSERT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Trailing", kKeyRead, key), kErrorSuccess);
  regCloseKey(key);
}

TEST_F(RegistryStoreTest, LargeFileLoadsWhole) {
  constexpr int kValues = 20000;
  std::string text = "vornd registry 1\n[SOFTWARE\\Big]\n";
  for (int i = 0; i < kValues; ++i) {
    text += "\"Value" + std::to_string(i) + "\"=REG_DWORD:" + std::to_string(i) + "\n";
  }
  writeFile(m_file, text);
  RegKeyHandle key = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Big", kKeyRead, key), kErrorSuccess);
  std::uint32_t count = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(regQueryInfoKey(key, count, maxName, maxData), kErrorSuccess);
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  ASSERT_EQ(regQueryValue(key, "value19999", nullptr, &value, &size), kErrorSuccess);
  EXPECT_EQ(count, static_cast<std::uint32_t>(kValues));
  EXPECT_EQ(value, 19999u);
  regCloseKey(key);
}

// Child writers are this test binary started again as a host, so that
// each is a clean single-threaded process.
constexpr int kPerWriter = 500;

// <prefix>: sets kPerWriter values <prefix>0, <prefix>1, ... in SOFTWARE\Race.
int concurrentWriterHost(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string prefix = argv[3];
  RegKeyHandle key = nullptr;
  if (regOpenKey(localMachine(), "SOFTWARE\\Race", kKeyAllAccess, key) != 0) return 1;
  for (int i = 0; i < kPerWriter; ++i) {
    const std::string name = prefix + std::to_string(i);
    if (regSetValue(key, name, kRegSz, name.c_str(), name.size() + 1) != 0) return 1;
  }
  return regCloseKey(key) == 0 ? 0 : 1;
}
VORND_SERVICE_HOST("registry-concurrent-writer", concurrentWriterHost);

std::string killTestData(std::uint32_t index) {
  return "value " + std::to_string(index * 7919u) + std::string(1, '\0');
}

// Appends v<N>, v<N+1>, ... to SOFTWARE\Crash until killed.
int endlessWriterHost(int, char**) {
  RegKeyHandle key = nullptr;
  if (regOpenKey(localMachine(), "SOFTWARE\\Crash", kKeyAllAccess, key) != 0) return 1;
  std::uint32_t count = 0, maxName = 0, maxData = 0;
  if (regQueryInfoKey(key, count, maxName, maxData) != 0) return 1;
  // The first value is the bulk.
  for (std::uint32_t next = count - 1;; ++next) {
    const std::string data = killTestData(next);
    if (regSetValue(key, "v" + std::to_string(next), kRegSz, data.data(), data.size()) != 0) {
      return 1;
    }
  }
}
VORND_SERVICE_HOST("registry-endless-writer", endlessWriterHost);

pid_t startHost(const std::string& host, const std::string& argument = "") {
  const std::string binary = platform::moduleFileName();
  std::vector<std::string> arguments = {binary, "--service-host", host};
  if (!argument.empty()) arguments.push_back(argument);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

bool exitedCleanly(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A state root in memory when the machine has one: the lock is under test
// here, and a thousand writes with two fsyncs each on a busy disk take long.
class MemoryStateRoot {
 public:
  MemoryStateRoot() : m_oldTemp(getEnvironmentVariable("TMPDIR")) {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) {
      setEnvironmentVariable("TMPDIR", std::string("/dev/shm"));
    }
    m_root.emplace();
    setEnvironmentVariable("TMPDIR", m_oldTemp);
  }
  const std::string& path() const { return m_root->path(); }

 private:
  std::optional<std::string> m_oldTemp;
  std::optional<testing_support::ScopedStateRoot> m_root;
};

TEST_F(RegistryStoreTest, ConcurrentWritersLoseNoUpdate) {
  MemoryStateRoot memoryRoot;
  regCloseKey(createKey("SOFTWARE\\Race"));
  const pid_t first = startHost("registry-concurrent-writer", "a");
  const pid_t second = startHost("registry-concurrent-writer", "b");
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_TRUE(exitedCleanly(first));
  EXPECT_TRUE(exitedCleanly(second));

  RegKeyHandle key = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), "SOFTWARE\\Race", kKeyRead, key), kErrorSuccess);
  std::uint32_t count = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(regQueryInfoKey(key, count, maxName, maxData), kErrorSuccess);
  EXPECT_EQ(count, 2u * kPerWriter);
  for (char prefix : {'a', 'b'}) {
    for (int i = 0; i < kPerWriter; ++i) {
      const std::string name = prefix + std::to_string(i);
      std::uint32_t type = 0;
      std::string data;
      ASSERT_EQ(readValue(key, name, type, data), kErrorSuccess) << name;
      EXPECT_EQ(data, name + '\0');
    }
  }
  regCloseKey(key);
}

ino_t fileInode(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Waits (at most 20 s) until the file is replaced; returns when it was.
std::chrono::steady_clock::time_point waitForRename(const std::string& path) {
  const ino_t before = fileInode(path);
  for (int waited = 0; fileInode(path) == before && waited < 200000; ++waited) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return std::chrono::steady_clock::now();
}

std::string expectedCrashFile(const std::string& bulk, std::uint32_t written) {
  posix::RegTreeKey root("");
  posix::RegTreeKey& crash = root.addChild("SOFTWARE").addChild("Crash");
  crash.setValue("bulk", kRegBinary, bulk);
  for (std::uint32_t i = 0; i < written; ++i) {
    crash.setValue("v" + std::to_string(i), kRegSz, killTestData(i));
  }
  return posix::formatRegistryText(root);
}

// A writer killed at any moment leaves the file of some completed write:
// values v0..vN-1 in order with their data, N never going back.
TEST_F(RegistryStoreTest, WriterKilledMidWriteLeavesACompletedWrite) {
  // At least this many kills, and more (up to the limit) until some have
  // landed inside a write: under the sanitizers a writer spends most of its
  // time formatting, and a kill at a random moment rarely finds the
  // temporary file; every other kill is aimed at it.
  constexpr int kKills = 200;
  constexpr int kKillLimit = 400;
  constexpr int kWantedMidWrite = 3;
  // A kill ends a process the same way whatever the medium; in memory the
  // fsyncs cost nothing, and two hundred kills fit in the time.
  MemoryStateRoot memoryRoot;
  m_file = memoryRoot.path() + "/registry";
  RegKeyHandle key = createKey("SOFTWARE\\Crash");
  // Bulk makes every write long enough for kills to land inside it.
  const std::string bulk(64 * 1024, '\xA5');
  ASSERT_EQ(regSetValue(key, "bulk", kRegBinary, bulk.data(), bulk.size()), kErrorSuccess);
  regCloseKey(key);

  std::random_device device;
  const unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  std::uint32_t completed = 0;
  int killsMidWrite = 0;
  int kill = 0;
  for (; kill < kKills || (killsMidWrite < kWantedMidWrite && kill < kKillLimit); ++kill) {
    const pid_t pid = startHost("registry-endless-writer");
    ASSERT_GT(pid, 0);
    // The kill must come while the writer writes, however long it takes to
    // start and to write (much longer under the sanitizers): wait for two
    // renames, then kill within two of its write cycles.
    const auto cycleStart = waitForRename(m_file);
    const auto cycle = waitForRename(m_file) - cycleStart;
    if (kill % 2 == 0) {
      std::uniform_int_distribution<long long> delay(0, 2 * cycle.count());
      std::this_thread::sleep_for(std::chrono::steady_clock::duration(delay(random)));
    } else {
      // Aimed: the temporary file lives for a sliver of each cycle (the
      // formatting before it takes far longer), so a random moment seldom
      // finds it. Watch for it, for two cycles at most, and kill on sight.
      const auto giveUp = std::chrono::steady_clock::now() + 2 * cycle;
      while (!testing_support::fileExists(m_file + ".tmp") &&
             std::chrono::steady_clock::now() < giveUp) {
      }
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself, status " << status;

    // The temporary file outlives only a write cut short.
    if (testing_support::fileExists(m_file + ".tmp")) ++killsMidWrite;
    // Parseable, and byte for byte the file some completed write left.
    const std::string text = readFile(m_file);
    posix::RegTreeKey root("");
    posix::RegParseError error;
    ASSERT_TRUE(posix::parseRegistryText(text, root, error))
        << "after kill " << kill << ", line " << error.line << ": " << error.message;
    const posix::RegTreeKey* crash = posix::findKey(root, {"SOFTWARE", "Crash"});
    ASSERT_NE(crash, nullptr);
    const auto written = static_cast<std::uint32_t>(crash->values().size() - 1);
    EXPECT_GE(written, completed) << "after kill " << kill;
    completed = written;
    ASSERT_EQ(text, expectedCrashFile(bulk, written)) << "after kill " << kill;
  }
  // The kills came while writes were going on, not before the first one.
  EXPECT_GT(completed, 0u);
  EXPECT_GT(killsMidWrite, 0) << "in " << kill << " kills";
  std::printf("%d kills, %d inside a write\n", kill, killsMidWrite);
}

// A disk that fills up: a write that does not fit fails with the disk-full
// error, the file keeps the previous tree byte for byte, no temporary file
// is left behind, and once there is room the same write goes through.
TEST(RegistryStoreFullDisk, AWriteThatDoesNotFitLeavesThePreviousFileWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  testing_support::TemporaryDirectory dir;
  const std::string root = dir.file("root");
  std::filesystem::create_directories(root);
  if (!testing_support::run("mount -t tmpfs -o size=1m vorndfull " + root + " 2>/dev/null")) {
    GTEST_SKIP() << "no tmpfs mount here";
  }
  // Undone however the test ends.
  struct Restore {
    std::string root;
    std::optional<std::string> previous = getEnvironmentVariable("VORND_ROOT");
    ~Restore() {
      setEnvironmentVariable("VORND_ROOT", previous);
      testing_support::run("umount -l " + root);
    }
  } restore{root};
  setEnvironmentVariable("VORND_ROOT", root);
  const std::string file = root + "/registry";
  const std::string filler = root + "/filler";

  RegKeyHandle key = nullptr;
  ASSERT_EQ(regCreateKey(localMachine(), "SOFTWARE\\Full", key), kErrorSuccess);
  ASSERT_EQ(regSetValue(key, "Kept", kRegSz, "kept", 5), kErrorSuccess);
  const std::string previous = readFile(file);
  // Some 190 kB of text: more than the room left in every round below.
  const std::string big(64 * 1024, '\x5A');

  for (const std::uintmax_t room : {0u, 8u * 1024, 64u * 1024, 160u * 1024}) {
    SCOPED_TRACE("room " + std::to_string(room));
    {
      std::ofstream out(filler, std::ios::binary | std::ios::app);
      const std::string block(4096, 'f');
      while (out.write(block.data(), block.size()) && out.flush()) {
      }
    }
    const std::uintmax_t filled = std::filesystem::file_size(filler);
    std::filesystem::resize_file(filler, filled > room ? filled - room : 0);

    EXPECT_EQ(regSetValue(key, "Big", kRegBinary, big.data(), big.size()), 112u);
    EXPECT_EQ(systemErrorText(112).value_or(""), "There is not enough space on the disk.\n");
    EXPECT_EQ(readFile(file), previous);
    EXPECT_FALSE(testing_support::fileExists(file + ".tmp"));
    // Reads still work, and see the old tree.
    std::uint32_t size = 0;
    EXPECT_EQ(regQueryValue(key, "Big", nullptr, nullptr, &size), kErrorFileNotFound);
    char kept[8] = {};
    size = sizeof kept;
    EXPECT_EQ(regQueryValue(key, "Kept", nullptr, kept, &size), kErrorSuccess);
    EXPECT_STREQ(kept, "kept");
  }

  std::filesystem::remove(filler);
  ASSERT_EQ(regSetValue(key, "Big", kRegBinary, big.data(), big.size()), kErrorSuccess);
  std::string back(big.size(), '\0');
  std::uint32_t size = static_cast<std::uint32_t>(back.size());
  ASSERT_EQ(regQueryValue(key, "Big", nullptr, back.data(), &size), kErrorSuccess);
  EXPECT_EQ(back, big);
  regCloseKey(key);
}

}  // namespace

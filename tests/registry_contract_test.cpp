// The registry contract both implementations keep, under a throw-away key
// SOFTWARE\VorndTest\<random> (a temporary state root on POSIX).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "temp_dir.h"

namespace {

using namespace platform;

std::string randomKeyName() {
  std::random_device device;
  return "T" + std::to_string(device()) + "-" + std::to_string(device());
}

class RegistryContractTest : public testing::Test {
 protected:
  void SetUp() override {
    m_base = "SOFTWARE\\VorndTest\\" + randomKeyName();
    ASSERT_EQ(regCreateKey(localMachine(), m_base, m_key), kErrorSuccess);
  }

  void TearDown() override {
    if (m_key != nullptr) regCloseKey(m_key);
    EXPECT_EQ(regDeleteTree(localMachine(), m_base), kErrorSuccess);
    // The shared parent goes too once no other run uses it.
    RegKeyHandle parent = nullptr;
    if (regOpenKey(localMachine(), "SOFTWARE\\VorndTest", kKeyRead, parent) == kErrorSuccess) {
      std::string name;
      const bool empty = regEnumKey(parent, 0, name) == kErrorNoMoreItems;
      regCloseKey(parent);
      if (empty) regDeleteTree(localMachine(), "SOFTWARE\\VorndTest");
    }
  }

  ErrorCode setString(RegKeyHandle key, const std::string& name, const std::string& text,
                      std::uint32_t type = kRegSz) {
    return regSetValue(key, name, type, text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
  }

  // Type and data of a value, read the way callers do: size first.
  ErrorCode readValue(RegKeyHandle key, const std::string& name, std::uint32_t& type,
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

  std::vector<std::string> valueNames(RegKeyHandle key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; regEnumValue(key, i, name) == kErrorSuccess; ++i) {
      names.push_back(name);
    }
    return names;
  }

  testing_support::ScopedStateRoot m_root;
  std::string m_base;
  RegKeyHandle m_key = nullptr;
};

TEST_F(RegistryContractTest, CreateMakesMissingParentsAndOpenFindsThem) {
  RegKeyHandle deep = nullptr;
  ASSERT_EQ(regCreateKey(m_key, "A\\B\\C", deep), kErrorSuccess);
  ASSERT_EQ(setString(deep, "Where", "deep"), kErrorSuccess);
  regCloseKey(deep);

  RegKeyHandle middle = nullptr;
  ASSERT_EQ(regOpenKey(localMachine(), m_base + "\\A\\B", kKeyRead, middle), kErrorSuccess);
  std::string name;
  ASSERT_EQ(regEnumKey(middle, 0, name), kErrorSuccess);
  EXPECT_EQ(name, "C");
  EXPECT_EQ(regEnumKey(middle, 1, name), kErrorNoMoreItems);

  // Creating an existing key opens it with its values.
  RegKeyHandle again = nullptr;
  ASSERT_EQ(regCreateKey(middle, "C", again), kErrorSuccess);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(readValue(again, "Where", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("deep", 5));
  regCloseKey(again);
  regCloseKey(middle);

  RegKeyHandle missing = nullptr;
  EXPECT_EQ(regOpenKey(m_key, "A\\Nothing", kKeyRead, missing), kErrorFileNotFound);
  EXPECT_EQ(regOpenKey(localMachine(), m_base + "\\Nothing\\Deeper", kKeyRead, missing),
            kErrorFileNotFound);
}

TEST_F(RegistryContractTest, QueryGivesTypeSizeAndDataAndReportsSmallBuffers) {
  const std::uint32_t port = 8061;
  const unsigned char binary[] = {0x00, 0xFF, 0x10, 0x00, 0x7F};
  const char multi[] = "one\0two\0";  // with the array's own \0: one\0two\0\0
  ASSERT_EQ(setString(m_key, "Text", "C:\\Program Files\\x"), kErrorSuccess);
  ASSERT_EQ(setString(m_key, "Expand", "%SystemRoot%\\y", kRegExpandSz), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "Port", kRegDword, &port, sizeof port), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "Blob", kRegBinary, binary, sizeof binary), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "List", kRegMultiSz, multi, sizeof multi), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "Empty", kRegBinary, nullptr, 0), kErrorSuccess);

  std::uint32_t type = 99;
  std::uint32_t size = 0;
  ASSERT_EQ(regQueryValue(m_key, "Port", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(size, 4u);
  std::uint32_t readPort = 0;
  ASSERT_EQ(regQueryValue(m_key, "Port", nullptr, &readPort, &size), kErrorSuccess);
  EXPECT_EQ(readPort, port);

  char small[4] = {};
  size = sizeof small;
  EXPECT_EQ(regQueryValue(m_key, "Text", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, std::strlen("C:\\Program Files\\x") + 1);
  EXPECT_EQ(type, kRegSz);

  std::string data;
  ASSERT_EQ(readValue(m_key, "Expand", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(data, std::string("%SystemRoot%\\y", 15));
  ASSERT_EQ(readValue(m_key, "Blob", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(binary), sizeof binary));
  ASSERT_EQ(readValue(m_key, "List", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(data, std::string(multi, sizeof multi));
  ASSERT_EQ(readValue(m_key, "Empty", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_TRUE(data.empty());

  // Setting again replaces type and data.
  ASSERT_EQ(setString(m_key, "Port", "8062"), kErrorSuccess);
  ASSERT_EQ(readValue(m_key, "Port", type, data), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, std::string("8062", 5));

  EXPECT_EQ(regQueryValue(m_key, "Missing", &type, nullptr, &size), kErrorFileNotFound);
}

TEST_F(RegistryContractTest, DefaultValueIsTheEmptyName) {
  ASSERT_EQ(setString(m_key, "", "unnamed"), kErrorSuccess);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(readValue(m_key, "", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("unnamed", 8));
  EXPECT_EQ(valueNames(m_key), std::vector<std::string>{""});
  EXPECT_EQ(regDeleteValue(m_key, ""), kErrorSuccess);
  EXPECT_EQ(readValue(m_key, "", type, data), kErrorFileNotFound);
}

TEST_F(RegistryContractTest, InfoAndEnumerationCoverEveryValueAndSubkey) {
  std::uint32_t count = 99, maxName = 99, maxData = 99;
  ASSERT_EQ(regQueryInfoKey(m_key, count, maxName, maxData), kErrorSuccess);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(maxName, 0u);
  EXPECT_EQ(maxData, 0u);
  std::string name;
  EXPECT_EQ(regEnumValue(m_key, 0, name), kErrorNoMoreItems);
  EXPECT_EQ(regEnumKey(m_key, 0, name), kErrorNoMoreItems);

  // Binary data: Windows counts string data in its own stored form.
  const char longest[] = "a much longer blob";
  ASSERT_EQ(regSetValue(m_key, "Zeta", kRegBinary, "1", 1), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "LongerName", kRegBinary, "22", 2), kErrorSuccess);
  ASSERT_EQ(regSetValue(m_key, "Alpha", kRegBinary, longest, sizeof longest), kErrorSuccess);
  ASSERT_EQ(regQueryInfoKey(m_key, count, maxName, maxData), kErrorSuccess);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(maxName, std::strlen("LongerName"));
  EXPECT_EQ(maxData, sizeof longest);
  // Order is the implementation's own (Wine sorts); the set is fixed.
  std::vector<std::string> values = valueNames(m_key);
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"Alpha", "LongerName", "Zeta"}));
  EXPECT_EQ(regEnumValue(m_key, 3, name), kErrorNoMoreItems);

  for (const char* sub : {"Sub2", "Sub1", "Sub3"}) {
    RegKeyHandle key = nullptr;
    ASSERT_EQ(regCreateKey(m_key, sub, key), kErrorSuccess);
    regCloseKey(key);
  }
  std::vector<std::string> subkeys;
  for (std::uint32_t i = 0; regEnumKey(m_key, i, name) == kErrorSuccess; ++i) {
    subkeys.push_back(name);
  }
  std::sort(subkeys.begin(), subkeys.end());
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Sub1", "Sub2", "Sub3"}));
  EXPECT_EQ(regEnumKey(m_key, 3, name), kErrorNoMoreItems);
}

TEST_F(RegistryContractTest, NamesMatchIgnoringCaseAndKeepTheirOwn) {
  RegKeyHandle key = nullptr;
  ASSERT_EQ(regCreateKey(m_key, "MixedCase", key), kErrorSuccess);
  regCloseKey(key);
  ASSERT_EQ(regOpenKey(m_key, "MIXEDcase", kKeyAllAccess, key), kErrorSuccess);
  ASSERT_EQ(setString(key, "SockPort", "8061"), kErrorSuccess);
  ASSERT_EQ(setString(key, "SOCKPORT", "8062"), kErrorSuccess);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(readValue(key, "sockport", type, data), kErrorSuccess);
  EXPECT_EQ(data, std::string("8062", 5));
  EXPECT_EQ(valueNames(key), std::vector<std::string>{"SockPort"});
  regCloseKey(key);

  std::string name;
  ASSERT_EQ(regEnumKey(m_key, 0, name), kErrorSuccess);
  EXPECT_EQ(name, "MixedCase");
  EXPECT_EQ(regEnumKey(m_key, 1, name), kErrorNoMoreItems);
  EXPECT_EQ(regDeleteTree(m_key, "mixedCASE"), kErrorSuccess);
  EXPECT_EQ(regEnumKey(m_key, 0, name), kErrorNoMoreItems);
}

TEST_F(RegistryContractTest, DeletesValuesAndWholeTrees) {
  ASSERT_EQ(setString(m_key, "Keep", "k"), kErrorSuccess);
  ASSERT_EQ(setString(m_key, "Drop", "d"), kErrorSuccess);
  ASSERT_EQ(regDeleteValue(m_key, "Drop"), kErrorSuccess);
  EXPECT_EQ(regDeleteValue(m_key, "Drop"), kErrorFileNotFound);
  EXPECT_EQ(valueNames(m_key), std::vector<std::string>{"Keep"});

  RegKeyHandle deep = nullptr;
  ASSERT_EQ(regCreateKey(m_key, "Tree\\Branch\\Leaf", deep), kErrorSuccess);
  ASSERT_EQ(setString(deep, "V", "v"), kErrorSuccess);
  regCloseKey(deep);
  RegKeyHandle sibling = nullptr;
  ASSERT_EQ(regCreateKey(m_key, "Tree\\Sibling", sibling), kErrorSuccess);
  regCloseKey(sibling);

  ASSERT_EQ(regDeleteTree(m_key, "Tree\\Branch"), kErrorSuccess);
  RegKeyHandle opened = nullptr;
  EXPECT_EQ(regOpenKey(m_key, "Tree\\Branch\\Leaf", kKeyRead, opened), kErrorFileNotFound);
  EXPECT_EQ(regOpenKey(m_key, "Tree\\Branch", kKeyRead, opened), kErrorFileNotFound);
  ASSERT_EQ(regOpenKey(m_key, "Tree\\Sibling", kKeyRead, opened), kErrorSuccess);
  regCloseKey(opened);

  EXPECT_EQ(regDeleteTree(m_key, "Tree\\Branch"), kErrorFileNotFound);
  EXPECT_EQ(regDeleteTree(m_key, "NeverThere"), kErrorFileNotFound);
  ASSERT_EQ(regDeleteTree(m_key, "Tree"), kErrorSuccess);
  std::string name;
  EXPECT_EQ(regEnumKey(m_key, 0, name), kErrorNoMoreItems);
  EXPECT_EQ(valueNames(m_key), std::vector<std::string>{"Keep"});
}

}  // namespace

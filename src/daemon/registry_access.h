// Reading the registry: a key, the walk over its values, and one value.
//
//   RegKey key(platform::localMachine(), "SYSTEM\\...\\Config");
//   for (RegValue value : RegValueSequence(key)) {
//     value.Type();                  // first, when the text is to be expanded
//     use(value.Name(), value.Text());
//   }
//
// A key that cannot be opened (missing, or refused) is simply closed: it has
// no values, and nothing is reported here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry.h"

class RegKey {
 public:
  RegKey(platform::RegKeyHandle root, const std::string& path);
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  bool isOpen() const { return m_hKey != nullptr; }
  platform::RegKeyHandle handle() const { return m_hKey; }
  // Why the open failed; 0 when it did not.
  platform::ErrorCode openError() const { return m_openError; }

 private:
  platform::RegKeyHandle m_hKey = nullptr;
  platform::ErrorCode m_openError = 0;
};

class RegValue {
 public:
  RegValue(const RegKey& key, std::string name) : m_key(key), m_name(std::move(name)) {}

  // The name as enumerated, in its own letter case.
  const std::string& Name() const { return m_name; }

  // Asked once and kept. Until asked the value counts as REG_NONE, so its
  // text is not expanded.
  std::uint32_t Type();

  // The data up to its first zero byte; REG_EXPAND_SZ data expanded against
  // this process's environment once Type() has been asked. Empty when the
  // value has no data or cannot be read.
  std::string Text();

 private:
  const RegKey& m_key;
  std::string m_name;
  std::optional<std::uint32_t> m_type;
};

// The key's values in the registry's own index order, from index 0 until
// the first index that fails.
class RegValueSequence {
 public:
  explicit RegValueSequence(const RegKey& key) : m_key(key) {}

  class iterator {
   public:
    iterator(const RegKey* key, std::uint32_t index);
    RegValue operator*() const { return RegValue(*m_key, m_name); }
    iterator& operator++();
    bool operator==(const iterator& other) const { return m_key == other.m_key; }
    bool operator!=(const iterator& other) const { return !(*this == other); }

   private:
    void fetch();
    const RegKey* m_key;  // null once the walk has ended
    std::uint32_t m_index;
    std::string m_name;
  };

  iterator begin() const { return iterator(m_key.isOpen() ? &m_key : nullptr, 0); }
  iterator end() const { return iterator(nullptr, 0); }

 private:
  const RegKey& m_key;
};

#include "daemon/registry_access.h"

#include <vector>

#include "platform/environment.h"

RegKey::RegKey(platform::RegKeyHandle root, const std::string& path) {
  m_openError = platform::regOpenKey(root, path, platform::kKeyAllAccess, m_hKey);
  if (m_openError != platform::kErrorSuccess) m_hKey = nullptr;
}

RegKey::~RegKey() {
  if (m_hKey != nullptr) platform::regCloseKey(m_hKey);
}

RegValueSequence::iterator::iterator(const RegKey* key, std::uint32_t index)
    : m_key(key), m_index(index) {
  if (m_key != nullptr) fetch();
}

RegValueSequence::iterator& RegValueSequence::iterator::operator++() {
  ++m_index;
  fetch();
  return *this;
}

void RegValueSequence::iterator::fetch() {
  // The longest name is asked afresh at every step, as the key may change
  // under the walk.
  std::uint32_t count = 0, longestName = 0, longestData = 0;
  if (platform::regQueryInfoKey(m_key->handle(), count, longestName, longestData) !=
          platform::kErrorSuccess ||
      platform::regEnumValue(m_key->handle(), m_index, m_name) != platform::kErrorSuccess) {
    m_key = nullptr;
  }
}

std::uint32_t RegValue::Type() {
  if (!m_type) {
    std::uint32_t type = platform::kRegNone;
    if (platform::regQueryValue(m_key.handle(), m_name, &type, nullptr, nullptr) !=
        platform::kErrorSuccess) {
      type = platform::kRegNone;
    }
    m_type = type;
  }
  return *m_type;
}

std::string RegValue::Text() {
  if (!m_key.isOpen()) return std::string();
  // A buffer one byte longer than the key's longest data: the text always
  // ends in a zero byte, whatever the data holds.
  std::uint32_t count = 0, longestName = 0, longestData = 0;
  if (platform::regQueryInfoKey(m_key.handle(), count, longestName, longestData) !=
      platform::kErrorSuccess) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<std::size_t>(longestData) + 1, '\0');
  std::uint32_t size = longestData;
  if (platform::regQueryValue(m_key.handle(), m_name, nullptr, buffer.data(), &size) !=
      platform::kErrorSuccess) {
    return std::string();
  }
  std::string text(buffer.data());
  if (!text.empty() && m_type.value_or(platform::kRegNone) == platform::kRegExpandSz) {
    if (std::optional<std::string> expanded = platform::expandEnvironmentStrings(text)) {
      text = std::move(*expanded);
    }
  }
  return text;
}

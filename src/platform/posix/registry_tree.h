// The local-machine tree as the POSIX registry holds it in memory, and its
// text form (the file $VORND_ROOT/registry; format in the README).
//
// Names keep the case they were created with and match ignoring ASCII
// case. Values and subkeys keep creation order; deleting and re-creating
// an item puts it at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::posix {

std::string foldCase(std::string_view text);

struct RegTreeValue {
  std::string name;
  std::uint32_t type = 0;
  std::string data;
};

class RegTreeKey {
 public:
  explicit RegTreeKey(std::string name) : name_(std::move(name)) {}
  RegTreeKey(const RegTreeKey&) = delete;
  RegTreeKey& operator=(const RegTreeKey&) = delete;

  const std::string& name() const { return name_; }

  const std::vector<std::unique_ptr<RegTreeKey>>& children() const { return children_; }
  RegTreeKey* findChild(std::string_view name) const;
  // The caller has made sure no child of that name exists.
  RegTreeKey& addChild(std::string name);
  bool removeChild(std::string_view name);

  const std::vector<RegTreeValue>& values() const { return values_; }
  const RegTreeValue* findValue(std::string_view name) const;
  // An existing value keeps its name's case and its place.
  void setValue(std::string_view name, std::uint32_t type, std::string data);
  // False, changing nothing, when the key already has a value of that name.
  bool addValue(std::string name, std::uint32_t type, std::string data);
  bool removeValue(std::string_view name);

  // The longest value name and value data, kept as values change: a walk
  // asks for them at every step.
  std::size_t longestValueName() const { return longestName_; }
  std::size_t longestValueData() const { return longestData_; }

 private:
  void noteValue(const RegTreeValue& value);
  void recountLongest();

  std::string name_;
  // Folded name -> position, so that loading a large key stays linear.
  std::vector<RegTreeValue> values_;
  std::unordered_map<std::string, std::size_t> valueIndex_;
  std::vector<std::unique_ptr<RegTreeKey>> children_;
  std::unordered_map<std::string, std::size_t> childIndex_;
  std::size_t longestName_ = 0;
  std::size_t longestData_ = 0;
};

// Walks down from root; nullptr when a key on the way is missing.
RegTreeKey* findKey(RegTreeKey& root, const std::vector<std::string>& path);

struct RegParseError {
  std::size_t line = 0;
  std::string message;
};

// Fills an empty root from the file's text. On failure the tree holds
// whatever was read before the bad line.
bool parseRegistryText(std::string_view text, RegTreeKey& root, RegParseError& error);
std::string formatRegistryText(const RegTreeKey& root);

}  // namespace platform::posix

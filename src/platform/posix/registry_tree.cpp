#include "platform/posix/registry_tree.h"

#include <algorithm>

namespace platform::posix {

std::string foldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

namespace {

// Positions after a removed item move down by one.
void reindexAfterErase(std::unordered_map<std::string, std::size_t>& index, std::size_t erased) {
  for (auto& [folded, position] : index) {
    if (position > erased) --position;
  }
}

}  // namespace

RegTreeKey* RegTreeKey::findChild(std::string_view name) const {
  auto found = childIndex_.find(foldCase(name));
  return found == childIndex_.end() ? nullptr : children_[found->second].get();
}

RegTreeKey& RegTreeKey::addChild(std::string name) {
  childIndex_.emplace(foldCase(name), children_.size());
  children_.push_back(std::make_unique<RegTreeKey>(std::move(name)));
  return *children_.back();
}

bool RegTreeKey::removeChild(std::string_view name) {
  auto found = childIndex_.find(foldCase(name));
  if (found == childIndex_.end()) return false;
  const std::size_t position = found->second;
  childIndex_.erase(found);
  children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(position));
  reindexAfterErase(childIndex_, position);
  return true;
}

const RegTreeValue* RegTreeKey::findValue(std::string_view name) const {
  auto found = valueIndex_.find(foldCase(name));
  return found == valueIndex_.end() ? nullptr : &values_[found->second];
}

void RegTreeKey::setValue(std::string_view name, std::uint32_t type, std::string data) {
  auto [slot, inserted] = valueIndex_.emplace(foldCase(name), values_.size());
  if (inserted) {
    values_.push_back(RegTreeValue{std::string(name), type, std::move(data)});
    noteValue(values_.back());
    return;
  }
  RegTreeValue& value = values_[slot->second];
  const bool wasLongest = value.data.size() == longestData_;
  value.type = type;
  value.data = std::move(data);
  if (wasLongest && value.data.size() < longestData_) {
    recountLongest();
  } else {
    noteValue(value);
  }
}

void RegTreeKey::noteValue(const RegTreeValue& value) {
  longestName_ = std::max(longestName_, value.name.size());
  longestData_ = std::max(longestData_, value.data.size());
}

void RegTreeKey::recountLongest() {
  longestName_ = 0;
  longestData_ = 0;
  for (const RegTreeValue& value : values_) noteValue(value);
}

bool RegTreeKey::addValue(std::string name, std::uint32_t type, std::string data) {
  if (!valueIndex_.emplace(foldCase(name), values_.size()).second) return false;
  values_.push_back(RegTreeValue{std::move(name), type, std::move(data)});
  noteValue(values_.back());
  return true;
}

bool RegTreeKey::removeValue(std::string_view name) {
  auto found = valueIndex_.find(foldCase(name));
  if (found == valueIndex_.end()) return false;
  const std::size_t position = found->second;
  valueIndex_.erase(found);
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  reindexAfterErase(valueIndex_, position);
  recountLongest();
  return true;
}

RegTreeKey* findKey(RegTreeKey& root, const std::vector<std::string>& path) {
  RegTreeKey* key = &root;
  for (const std::string& name : path) {
    key = key->findChild(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

}  // namespace platform::posix

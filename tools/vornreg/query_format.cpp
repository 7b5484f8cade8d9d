#include "vornreg/query_format.h"

#include "vornreg/value_data.h"

namespace vornreg {

namespace {

void appendKeyWithValues(const KeyRecord& key, std::string& text) {
  text += "\n" + key.fullName + "\n";
  for (const ValueRecord& value : key.values) text += formatValueLine(value);
}

void appendTree(const KeyRecord& key, std::string& text) {
  appendKeyWithValues(key, text);
  for (const KeyRecord& subKey : key.subKeys) appendTree(subKey, text);
}

}  // namespace

std::string formatValueLine(const ValueRecord& value) {
  const std::string name = value.name.empty() ? std::string("(Default)") : value.name;
  return "    " + name + "    " + typeName(value.type) + "    " +
         displayData(value.type, value.data) + "\n";
}

std::string formatKeyListing(const KeyRecord& key, bool recursive) {
  std::string text;
  if (recursive) {
    appendTree(key, text);
    return text;
  }
  appendKeyWithValues(key, text);
  text += "\n";
  for (const KeyRecord& subKey : key.subKeys) text += subKey.fullName + "\n";
  return text;
}

std::string formatValueMatches(const std::vector<KeyRecord>& matches, bool recursive) {
  std::string text;
  for (const KeyRecord& key : matches) appendKeyWithValues(key, text);
  if (recursive) {
    text += "\nEnd of search: " + std::to_string(matches.size()) + " match(es) found.\n";
  } else {
    text += "\n";
  }
  return text;
}

}  // namespace vornreg

// The text of `query`, laid out as `reg query` lays it out:
//
//   (blank)
//   HKEY_LOCAL_MACHINE\SOFTWARE\Vornware\Services
//       svc    REG_EXPAND_SZ    Login service
//       (Default)    REG_SZ    text
//   (blank)
//   HKEY_LOCAL_MACHINE\SOFTWARE\Vornware\Services\Sub
//
// Four blanks before the name and between the columns; the unnamed value
// is "(Default)".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vornreg {

struct ValueRecord {
  std::string name;
  std::uint32_t type = 0;
  std::string data;
};

struct KeyRecord {
  std::string fullName;
  std::vector<ValueRecord> values;
  // All of the tree below for /s; otherwise only their names are used.
  std::vector<KeyRecord> subKeys;
};

// "    name    TYPE    data\n".
std::string formatValueLine(const ValueRecord& value);

// A key's values and its subkeys' names; with `recursive` every key below
// in turn with its values.
std::string formatKeyListing(const KeyRecord& key, bool recursive);

// query /v or /ve: the keys that hold the value (each record with just that
// value). With `recursive` (/s) a count of matches ends the text.
std::string formatValueMatches(const std::vector<KeyRecord>& matches, bool recursive);

}  // namespace vornreg

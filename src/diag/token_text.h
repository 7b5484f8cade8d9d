// The words of the token dump: what a SID, an attribute word, an access
// mask or a token field reads as in the log, one string per log line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace token_text {

// A user or group entry's attribute bits; nothing for 0.
std::vector<std::string> groupAttributeLines(std::uint32_t attributes);

// A privilege's attribute bits; one "disabled" line for 0.
std::vector<std::string> privilegeAttributeLines(std::uint32_t attributes);

// The rights of an ACE's mask; "All access" alone for the full process
// rights or generic all.
std::vector<std::string> accessMaskLines(std::uint32_t mask);

// The account kind that a SID lookup answers with, as " - User".
std::string accountKindText(std::uint32_t kind);

// A SID the system cannot name is a logon SID when it has three
// sub-authorities, the first of them 5 (S-1-5-5-x-y).
bool isLogonSid(std::uint32_t subAuthorityCount, std::uint32_t firstSubAuthority);

// The line naming a SID: "<domain>\<name> - <kind>", or why it cannot.
// Asks the platform to look the SID up.
std::string sidLine(const void* sid);

// The heading of a default-DACL entry by its type.
std::string aceHeading(std::uint32_t type);

std::string tokenTypeText(std::uint32_t type);

// Empty for a level without a name.
std::string impersonationLevelText(std::uint32_t level);

}  // namespace token_text

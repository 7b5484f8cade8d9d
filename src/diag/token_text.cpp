#include "diag/token_text.h"

#include "platform/error.h"
#include "platform/token.h"

namespace token_text {

namespace {

struct BitText {
  std::uint32_t bit;
  const char* text;
};

constexpr BitText kGroupBits[] = {
    {0x1, "\tMandatory group"},       {0x2, "\tEnabled by default"},
    {0x4, "\tEnabled group"},         {0x8, "\tGroup owner"},
    {0x10, "\tGroup use for deny only"},
};
// Either of the two high bits marks a logon SID.
constexpr std::uint32_t kLogonIdBits = 0x80000000u | 0x40000000u;

constexpr BitText kPrivilegeBits[] = {
    {0x1, "\tThe privilege is enabled by default"},
    {0x2, "\tThe privilege is enabled"},
    {0x80000000u, "\tThe privilege was used to gain access to an object"},
};

// The process-specific rights, in the order they are listed.
constexpr BitText kAccessBits[] = {
    {0x1, "Terminate process"},         {0x2, "Create thread"},
    {0x4, "Set session ID"},            {0x8, "Virtual memory operation"},
    {0x10, "Virtual memory read"},      {0x20, "Virtual memory write"},
    {0x40, "Duplicate handle"},         {0x80, "Create process"},
    {0x100, "Set quota"},               {0x200, "Set process information"},
    {0x400, "Query process information"}, {0x100000, "Synchronize"},
};
constexpr std::uint32_t kProcessAllAccess = 0x1F0FFF;
constexpr std::uint32_t kGenericAll = 0x10000000;

constexpr std::uint32_t kLogonSubAuthority = 5;  // SECURITY_LOGON_IDS_RID
constexpr std::uint32_t kNameBufferSize = 128;

template <std::size_t N>
void appendSetBits(std::vector<std::string>& lines, const BitText (&table)[N],
                   std::uint32_t word) {
  for (const BitText& entry : table) {
    if (word & entry.bit) lines.emplace_back(entry.text);
  }
}

}  // namespace

std::vector<std::string> groupAttributeLines(std::uint32_t attributes) {
  std::vector<std::string> lines;
  appendSetBits(lines, kGroupBits, attributes);
  if (attributes & kLogonIdBits) lines.emplace_back("\tLogon ID");
  return lines;
}

std::vector<std::string> privilegeAttributeLines(std::uint32_t attributes) {
  if (attributes == 0) return {"\t Privilege disabled"};
  std::vector<std::string> lines;
  appendSetBits(lines, kPrivilegeBits, attributes);
  return lines;
}

std::vector<std::string> accessMaskLines(std::uint32_t mask) {
  if ((mask & kProcessAllAccess) == kProcessAllAccess || (mask & kGenericAll) != 0) {
    return {"All access"};
  }
  std::vector<std::string> lines;
  appendSetBits(lines, kAccessBits, mask);
  return lines;
}

std::string accountKindText(std::uint32_t kind) {
  switch (kind) {
    case 1: return " - User";
    case 2: return " - Group";
    case 3: return " - Domain";
    case 4: return " - Alias";
    case 5: return " - Well-known group";
    case 6: return " - Deleted account";
    case 7: return " - Invalid SID";
    default: return " - Unknown SID type";
  }
}

bool isLogonSid(std::uint32_t subAuthorityCount, std::uint32_t firstSubAuthority) {
  return subAuthorityCount == 3 && firstSubAuthority == kLogonSubAuthority;
}

std::string sidLine(const void* sid) {
  if (sid == nullptr || !platform::isValidSid(sid)) return "Invalid SID!";
  char name[kNameBufferSize] = {};
  char domain[kNameBufferSize] = {};
  std::uint32_t kind = 0;
  if (!platform::lookupAccountSid(sid, name, kNameBufferSize, domain, kNameBufferSize, kind)) {
    const platform::ErrorCode error = platform::lastError();
    const std::uint32_t count = platform::sidSubAuthorityCount(sid);
    if (count > 0 && isLogonSid(count, platform::sidSubAuthority(sid, 0))) return "Logon ID Sid";
    return "Cannot look up SID - err = " + std::to_string(error);
  }
  return std::string(domain) + "\\" + name + accountKindText(kind);
}

std::string aceHeading(std::uint32_t type) {
  switch (type) {
    case 0: return "Access Allowed for:";
    case 1: return "Access Denied for:";
    default: return "Ace Type = " + std::to_string(type);
  }
}

std::string tokenTypeText(std::uint32_t type) {
  switch (type) {
    case 1: return "Primary Token";
    case 2: return "Impersonation Token";
    default: return "Unknown token type";
  }
}

std::string impersonationLevelText(std::uint32_t level) {
  switch (level) {
    case 0: return "Anonymous";
    case 1: return "Identification";
    case 2: return "Impersonation";
    case 3: return "Delegation";
    default: return {};
  }
}

}  // namespace token_text

// The daemon's own token and drives, as detailed logging records them at
// start-up. Reads only; every failure is a log line, never a report.
#include <cstdlib>
#include <iterator>
#include <string>

#include "daemon/vornd.h"
#include "diag/token_query.h"
#include "diag/token_text.h"
#include "platform/error.h"
#include "platform/token.h"

namespace {

using platform::TokenClass;

// The classes in the order they are dumped.
constexpr TokenClass kDumpedClasses[] = {
    TokenClass::kUser,         TokenClass::kGroups,      TokenClass::kPrivileges,
    TokenClass::kOwner,        TokenClass::kPrimaryGroup, TokenClass::kDefaultDacl,
    TokenClass::kSource,       TokenClass::kType,        TokenClass::kImpersonationLevel,
    TokenClass::kStatistics,
};

// Most classes fit; the buffer grows for those that do not.
constexpr std::uint32_t kFirstBufferSize = 512;
constexpr std::uint32_t kPrivilegeNameSize = 66;

}  // namespace

void CVornD::DumpToken() {
  ProcessTokenQuery query;
  DumpToken(query);
}

void CVornD::DumpToken(TokenQuery& query) {
  if (!query.open(platform::kTokenQuery | platform::kTokenQuerySource | platform::kReadControl)) {
    m_log.entry() << "Couldn't open my own token";
    return;
  }
  std::uint32_t size = kFirstBufferSize;
  void* buffer = std::calloc(size, 1);
  if (buffer == nullptr) {
    m_log.entry() << "Couldn't grow pBuf";
    return;
  }
  std::size_t next = 0;
  while (next < std::size(kDumpedClasses)) {
    const TokenClass tokenClass = kDumpedClasses[next];
    std::uint32_t needed = 0;
    if (query.information(tokenClass, buffer, size, &needed)) {
      DumpTokenSection(static_cast<std::uint32_t>(tokenClass), buffer);
      ++next;
      continue;
    }
    const platform::ErrorCode error = platform::lastError();
    if (needed > size) {
      // The same class is asked again, in a buffer of its size.
      std::free(buffer);
      buffer = std::calloc(needed, 1);
      if (buffer == nullptr) {
        m_log.entry() << "Cannot allocate " << needed << " bytes memory";
        break;
      }
      size = needed;
      continue;
    }
    if (error == platform::kErrorInvalidParameter &&
        tokenClass == TokenClass::kImpersonationLevel) {
      // A process token is a primary token.
      m_log.entry();
      m_log.entry() << "Token is not an impersonation token";
      ++next;
      continue;
    }
    m_log.entry() << "GetTokenInformation failed! Error = " << error;
    break;
  }
  std::free(buffer);
}

void CVornD::DumpTokenSection(std::uint32_t tokenClass, const void* buffer) {
  const auto section = static_cast<TokenClass>(tokenClass);
  if (section == TokenClass::kStatistics) return;  // read, never written
  m_log.entry();  // every section opens with an empty line

  switch (section) {
    case TokenClass::kUser: {
      const platform::SidAndAttributes user = platform::tokenUser(buffer);
      m_log.entry() << "Token User - " << token_text::sidLine(user.sid);
      DescribeGroupAttributes(user.attributes);
      break;
    }
    case TokenClass::kGroups: {
      m_log.entry() << "Token Groups:";
      const std::uint32_t count = platform::tokenGroupCount(buffer);
      for (std::uint32_t i = 0; i < count; ++i) {
        const platform::SidAndAttributes group = platform::tokenGroup(buffer, i);
        DescribeSid(group.sid);
        DescribeGroupAttributes(group.attributes);
      }
      break;
    }
    case TokenClass::kPrivileges: {
      m_log.entry() << "Token Privileges:";
      const std::uint32_t count = platform::tokenPrivilegeCount(buffer);
      for (std::uint32_t i = 0; i < count; ++i) {
        const platform::LuidAndAttributes privilege = platform::tokenPrivilege(buffer, i);
        char name[kPrivilegeNameSize] = {};
        if (platform::lookupPrivilegeName(privilege.luid, name, kPrivilegeNameSize)) {
          m_log.entry() << name;
        } else {
          m_log.entry() << "Cannot look up privilege name";
        }
        for (const std::string& line : token_text::privilegeAttributeLines(privilege.attributes)) {
          m_log.entry() << line;
        }
      }
      break;
    }
    case TokenClass::kOwner:
      m_log.entry() << "Token Owner: " << token_text::sidLine(platform::tokenOwner(buffer));
      break;
    case TokenClass::kPrimaryGroup:
      m_log.entry() << "Token Primary Group: "
                    << token_text::sidLine(platform::tokenPrimaryGroup(buffer));
      break;
    case TokenClass::kDefaultDacl: {
      m_log.entry() << "Token Default DACL:";
      const void* acl = platform::tokenDefaultDacl(buffer);
      if (acl == nullptr) break;
      std::uint32_t type = 0;
      std::uint32_t mask = 0;
      const void* sid = nullptr;
      for (std::uint32_t index = 0; platform::getAce(acl, index, type, mask, sid); ++index) {
        m_log.entry() << token_text::aceHeading(type);
        DescribeSid(sid);
        DescribeAccessMask(mask);
        m_log.entry();
      }
      break;
    }
    case TokenClass::kSource:
      m_log.entry() << "Token Source: " << platform::tokenSourceName(buffer);
      break;
    case TokenClass::kType:
      m_log.entry() << "Token type: " << token_text::tokenTypeText(platform::tokenType(buffer));
      break;
    case TokenClass::kImpersonationLevel: {
      const std::string level =
          token_text::impersonationLevelText(platform::tokenImpersonationLevel(buffer));
      if (level.empty()) {
        m_log.entry().withoutLineEnd() << "Impersonation level: ";
      } else {
        m_log.entry() << "Impersonation level: " << level;
      }
      break;
    }
    case TokenClass::kStatistics:
      break;
  }
}

void CVornD::DumpDrives() {
  m_log.entry() << "I can see drives: " << platform::logicalDrives();
}

void CVornD::DescribeSid(const void* sid) { m_log.entry() << token_text::sidLine(sid); }

void CVornD::DescribeGroupAttributes(std::uint32_t attributes) {
  for (const std::string& line : token_text::groupAttributeLines(attributes)) {
    m_log.entry() << line;
  }
}

void CVornD::DescribeAccessMask(std::uint32_t mask) {
  for (const std::string& line : token_text::accessMaskLines(mask)) m_log.entry() << line;
}

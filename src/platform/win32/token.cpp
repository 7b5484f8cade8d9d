#include "platform/token.h"

#include <windows.h>

#include <cstring>

#include "platform/error.h"

namespace platform {

namespace {

HANDLE handleOf(ProcessToken token) { return reinterpret_cast<HANDLE>(token); }

}  // namespace

bool openProcessToken(std::uint32_t access, ProcessToken& token) {
  HANDLE handle = nullptr;
  const BOOL ok = OpenProcessToken(GetCurrentProcess(), access, &handle);
  token = ok ? reinterpret_cast<ProcessToken>(handle) : nullptr;
  return ok != FALSE;
}

void closeToken(ProcessToken token) {
  if (token != nullptr) CloseHandle(handleOf(token));
}

bool getTokenInformation(ProcessToken token, TokenClass tokenClass, void* buffer,
                         std::uint32_t size, std::uint32_t* needed) {
  DWORD length = 0;
  const BOOL ok = GetTokenInformation(
      handleOf(token), static_cast<TOKEN_INFORMATION_CLASS>(tokenClass), buffer, size, &length);
  if (needed != nullptr) *needed = length;
  return ok != FALSE;
}

SidAndAttributes tokenUser(const void* buffer) {
  const auto* user = static_cast<const TOKEN_USER*>(buffer);
  return {user->User.Sid, user->User.Attributes};
}

std::uint32_t tokenGroupCount(const void* buffer) {
  return static_cast<const TOKEN_GROUPS*>(buffer)->GroupCount;
}

SidAndAttributes tokenGroup(const void* buffer, std::uint32_t index) {
  const SID_AND_ATTRIBUTES& entry = static_cast<const TOKEN_GROUPS*>(buffer)->Groups[index];
  return {entry.Sid, entry.Attributes};
}

std::uint32_t tokenPrivilegeCount(const void* buffer) {
  return static_cast<const TOKEN_PRIVILEGES*>(buffer)->PrivilegeCount;
}

LuidAndAttributes tokenPrivilege(const void* buffer, std::uint32_t index) {
  const LUID_AND_ATTRIBUTES& entry =
      static_cast<const TOKEN_PRIVILEGES*>(buffer)->Privileges[index];
  LuidAndAttributes result;
  result.luid.lowPart = entry.Luid.LowPart;
  result.luid.highPart = entry.Luid.HighPart;
  result.attributes = entry.Attributes;
  return result;
}

const void* tokenOwner(const void* buffer) {
  return static_cast<const TOKEN_OWNER*>(buffer)->Owner;
}

const void* tokenPrimaryGroup(const void* buffer) {
  return static_cast<const TOKEN_PRIMARY_GROUP*>(buffer)->PrimaryGroup;
}

const void* tokenDefaultDacl(const void* buffer) {
  return static_cast<const TOKEN_DEFAULT_DACL*>(buffer)->DefaultDacl;
}

std::string tokenSourceName(const void* buffer) {
  const char* name = static_cast<const TOKEN_SOURCE*>(buffer)->SourceName;
  return std::string(name, strnlen(name, TOKEN_SOURCE_LENGTH));
}

std::uint32_t tokenType(const void* buffer) {
  return static_cast<std::uint32_t>(*static_cast<const TOKEN_TYPE*>(buffer));
}

std::uint32_t tokenImpersonationLevel(const void* buffer) {
  return static_cast<std::uint32_t>(*static_cast<const SECURITY_IMPERSONATION_LEVEL*>(buffer));
}

bool isValidSid(const void* sid) {
  return sid != nullptr && IsValidSid(const_cast<PSID>(sid)) != FALSE;
}

std::uint32_t sidSubAuthorityCount(const void* sid) {
  return *GetSidSubAuthorityCount(const_cast<PSID>(sid));
}

std::uint32_t sidSubAuthority(const void* sid, std::uint32_t index) {
  return *GetSidSubAuthority(const_cast<PSID>(sid), index);
}

bool lookupAccountSid(const void* sid, char* name, std::uint32_t nameSize, char* domain,
                      std::uint32_t domainSize, std::uint32_t& kind) {
  DWORD nameLength = nameSize;
  DWORD domainLength = domainSize;
  SID_NAME_USE use = SidTypeUnknown;
  const BOOL ok = LookupAccountSidA(nullptr, const_cast<PSID>(sid), name, &nameLength, domain,
                                    &domainLength, &use);
  if (ok) kind = static_cast<std::uint32_t>(use);
  return ok != FALSE;
}

bool lookupPrivilegeName(Luid luid, char* name, std::uint32_t size) {
  LUID value;
  value.LowPart = luid.lowPart;
  value.HighPart = luid.highPart;
  DWORD length = size;
  return LookupPrivilegeNameA(nullptr, &value, name, &length) != FALSE;
}

bool getAce(const void* acl, std::uint32_t index, std::uint32_t& type, std::uint32_t& mask,
            const void*& sid) {
  if (acl == nullptr) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  void* ace = nullptr;
  if (!GetAce(const_cast<PACL>(static_cast<const ACL*>(acl)), index, &ace)) return false;
  // Allowed and denied entries share one shape: header, mask, then the SID
  // from the position of SidStart.
  const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
  type = entry->Header.AceType;
  mask = entry->Mask;
  sid = &entry->SidStart;
  return true;
}

std::uint32_t logicalDrives() { return GetLogicalDrives(); }

}  // namespace platform

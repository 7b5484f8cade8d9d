// The process's own access token, its SIDs, privileges and ACLs, and the
// drives the process can see: what the security diagnostics read.
//
// Shaped on the Windows calls: a class is read into a caller's buffer
// (too small: false with error 122 and the size needed), and accessors
// read the filled buffer. The layout of a filled buffer is the platform's
// own; only the accessors below may look inside it.
//
// Windows: OpenProcessToken, GetTokenInformation and the TOKEN_*
// structures, LookupAccountSidA, LookupPrivilegeNameA, GetAce,
// GetLogicalDrives.
//
// POSIX: the token is the process credentials. SIDs keep the Windows
// binary layout: a user is S-1-22-1-<uid>, a group S-1-22-2-<gid>, named
// "<host>\<name>". The user, the owner and the primary group are the
// effective uid and gid; the groups are the effective gid and the
// supplementary groups. Privileges are the capabilities in the permitted
// or effective set, named as the system spells them ("cap_chown"). There
// is no default DACL, the source is "Linux", the type is primary, and
// there is no impersonation level (error 87). The only drive is C:.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct ProcessTokenImpl;
using ProcessToken = ProcessTokenImpl*;  // null: no token

// Access rights of openProcessToken.
inline constexpr std::uint32_t kTokenQuery = 0x8;
inline constexpr std::uint32_t kTokenQuerySource = 0x10;
inline constexpr std::uint32_t kReadControl = 0x20000;

// The information classes, numbered as on Windows.
enum class TokenClass : std::uint32_t {
  kUser = 1,
  kGroups = 2,
  kPrivileges = 3,
  kOwner = 4,
  kPrimaryGroup = 5,
  kDefaultDacl = 6,
  kSource = 7,
  kType = 8,
  kImpersonationLevel = 9,
  kStatistics = 10,
};

// Token types and the account kinds of lookupAccountSid, numbered as on
// Windows.
inline constexpr std::uint32_t kTokenPrimary = 1;
inline constexpr std::uint32_t kTokenImpersonation = 2;
inline constexpr std::uint32_t kSidTypeUser = 1;
inline constexpr std::uint32_t kSidTypeGroup = 2;

// Returned when a SID has no account name.
inline constexpr std::uint32_t kErrorNoneMapped = 1332;
// Returned when a privilege has no name.
inline constexpr std::uint32_t kErrorNoSuchPrivilege = 1313;

// False with the last error set.
bool openProcessToken(std::uint32_t access, ProcessToken& token);
void closeToken(ProcessToken token);

// Fills `buffer` with the class's data. False with the last error set:
// 122 with *needed set when `size` is too small, 87 for a class the token
// does not have. *needed is set on success too.
bool getTokenInformation(ProcessToken token, TokenClass tokenClass, void* buffer,
                         std::uint32_t size, std::uint32_t* needed);

// A SID with its attribute bits (a user or group entry).
struct SidAndAttributes {
  const void* sid = nullptr;
  std::uint32_t attributes = 0;
};

struct Luid {
  std::uint32_t lowPart = 0;
  std::int32_t highPart = 0;
};

struct LuidAndAttributes {
  Luid luid;
  std::uint32_t attributes = 0;
};

// Readers of a buffer filled for the class named by each.
SidAndAttributes tokenUser(const void* buffer);
std::uint32_t tokenGroupCount(const void* buffer);
SidAndAttributes tokenGroup(const void* buffer, std::uint32_t index);
std::uint32_t tokenPrivilegeCount(const void* buffer);
LuidAndAttributes tokenPrivilege(const void* buffer, std::uint32_t index);
const void* tokenOwner(const void* buffer);
const void* tokenPrimaryGroup(const void* buffer);
// Null when the token has no default DACL.
const void* tokenDefaultDacl(const void* buffer);
// The 8 characters of the source name, cut at the first zero byte.
std::string tokenSourceName(const void* buffer);
std::uint32_t tokenType(const void* buffer);
std::uint32_t tokenImpersonationLevel(const void* buffer);

bool isValidSid(const void* sid);
// Only for a valid SID; the index below the count.
std::uint32_t sidSubAuthorityCount(const void* sid);
std::uint32_t sidSubAuthority(const void* sid, std::uint32_t index);

// The account of a SID on the local system: names into buffers of the
// given sizes (with their final zero), and its kind (kSidType*). False
// with the last error set: 1332 when the SID has no name, 122 when a
// buffer is too small.
bool lookupAccountSid(const void* sid, char* name, std::uint32_t nameSize, char* domain,
                      std::uint32_t domainSize, std::uint32_t& kind);

// A privilege's name on the local system into a buffer of `size`
// characters. False with the last error set: 1313 for an unknown
// privilege, 122 when the buffer is too small.
bool lookupPrivilegeName(Luid luid, char* name, std::uint32_t size);

// The ACE at `index` of an ACL: its type, mask and the SID after the
// mask. False with the last error set when there is no such entry.
bool getAce(const void* acl, std::uint32_t index, std::uint32_t& type, std::uint32_t& mask,
            const void*& sid);

// The drives the process can see, bit 0 for A:.
std::uint32_t logicalDrives();

}  // namespace platform

#include "platform/token.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/posix/state_root.h"

namespace platform {

struct ProcessTokenImpl {
  uid_t uid = 0;
  gid_t gid = 0;
  // The effective gid first, then the supplementary groups not equal to it.
  std::vector<gid_t> groups;
  std::uint64_t permitted = 0;
  std::uint64_t effective = 0;
};

namespace {

// The capabilities by number, as the system spells them.
constexpr std::array<const char*, 41> kCapabilityNames = {
    "cap_chown",           "cap_dac_override",   "cap_dac_read_search", "cap_fowner",
    "cap_fsetid",          "cap_kill",           "cap_setgid",          "cap_setuid",
    "cap_setpcap",         "cap_linux_immutable", "cap_net_bind_service", "cap_net_broadcast",
    "cap_net_admin",       "cap_net_raw",        "cap_ipc_lock",        "cap_ipc_owner",
    "cap_sys_module",      "cap_sys_rawio",      "cap_sys_chroot",      "cap_sys_ptrace",
    "cap_sys_pacct",       "cap_sys_admin",      "cap_sys_boot",        "cap_sys_nice",
    "cap_sys_resource",    "cap_sys_time",       "cap_sys_tty_config",  "cap_mknod",
    "cap_lease",           "cap_audit_write",    "cap_audit_control",   "cap_setfcap",
    "cap_mac_override",    "cap_mac_admin",      "cap_syslog",          "cap_wake_alarm",
    "cap_block_suspend",   "cap_audit_read",     "cap_perfmon",         "cap_bpf",
    "cap_checkpoint_restore"};

// S-1-22-1-<uid> and S-1-22-2-<gid>: the authority that names Unix ids.
constexpr std::uint8_t kUnixAuthority = 22;
constexpr std::uint32_t kUnixUser = 1;
constexpr std::uint32_t kUnixGroup = 2;
constexpr std::size_t kSidHeader = 8;  // revision, count, 6-byte authority
constexpr std::size_t kMaxSubAuthorities = 15;

constexpr std::uint32_t kAttributesEnabledByDefault = 0x1;
constexpr std::uint32_t kAttributesEnabled = 0x2;
constexpr std::uint32_t kGroupAttributes = 0x7;  // mandatory, enabled by default, enabled

using Bytes = std::vector<unsigned char>;

void putU32(Bytes& out, std::size_t at, std::uint32_t value) {
  if (out.size() < at + 4) out.resize(at + 4);
  std::memcpy(out.data() + at, &value, 4);
}

void appendU32(Bytes& out, std::uint32_t value) { putU32(out, out.size(), value); }

std::uint32_t readU32(const void* base, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, static_cast<const unsigned char*>(base) + at, 4);
  return value;
}

// Appends a two-part Unix SID and returns its offset.
std::uint32_t appendSid(Bytes& out, std::uint32_t kind, std::uint32_t id) {
  const auto at = static_cast<std::uint32_t>(out.size());
  const unsigned char header[kSidHeader] = {1, 2, 0, 0, 0, 0, 0, kUnixAuthority};
  out.insert(out.end(), header, header + kSidHeader);
  appendU32(out, kind);
  appendU32(out, id);
  return at;
}

// Classes whose data holds SIDs give their offsets from the buffer's start,
// so a filled buffer needs no fixing up where it lands.
Bytes sidEntry(std::uint32_t kind, std::uint32_t id, std::uint32_t attributes) {
  Bytes out(8);
  putU32(out, 4, attributes);
  putU32(out, 0, appendSid(out, kind, id));
  return out;
}

Bytes groupsData(const ProcessTokenImpl& token) {
  const auto count = static_cast<std::uint32_t>(token.groups.size());
  Bytes out(4 + 8 * count);
  putU32(out, 0, count);
  for (std::uint32_t i = 0; i < count; ++i) {
    putU32(out, 4 + 8 * i + 4, kGroupAttributes);
    putU32(out, 4 + 8 * i, appendSid(out, kUnixGroup, token.groups[i]));
  }
  return out;
}

Bytes privilegesData(const ProcessTokenImpl& token) {
  Bytes out(4);
  std::uint32_t count = 0;
  for (std::uint32_t bit = 0; bit < 64; ++bit) {
    const std::uint64_t mask = std::uint64_t{1} << bit;
    if (((token.permitted | token.effective) & mask) == 0) continue;
    std::uint32_t attributes = 0;
    if (token.permitted & mask) attributes |= kAttributesEnabledByDefault;
    if (token.effective & mask) attributes |= kAttributesEnabled;
    appendU32(out, bit);  // the LUID: the capability number, high part 0
    appendU32(out, 0);
    appendU32(out, attributes);
    ++count;
  }
  putU32(out, 0, count);
  return out;
}

Bytes classData(const ProcessTokenImpl& token, TokenClass tokenClass) {
  Bytes out;
  switch (tokenClass) {
    case TokenClass::kUser:
      return sidEntry(kUnixUser, token.uid, 0);
    case TokenClass::kGroups:
      return groupsData(token);
    case TokenClass::kPrivileges:
      return privilegesData(token);
    case TokenClass::kOwner:
      out.resize(4);
      putU32(out, 0, appendSid(out, kUnixUser, token.uid));
      return out;
    case TokenClass::kPrimaryGroup:
      out.resize(4);
      putU32(out, 0, appendSid(out, kUnixGroup, token.gid));
      return out;
    case TokenClass::kDefaultDacl:
      appendU32(out, 0);  // offset 0: no default DACL
      return out;
    case TokenClass::kSource: {
      const char name[8] = {'L', 'i', 'n', 'u', 'x', 0, 0, 0};
      out.assign(name, name + 8);
      appendU32(out, 0);  // source identifier
      appendU32(out, 0);
      return out;
    }
    case TokenClass::kType:
      appendU32(out, kTokenPrimary);
      return out;
    case TokenClass::kStatistics:
      appendU32(out, kTokenPrimary);
      appendU32(out, static_cast<std::uint32_t>(token.groups.size()));
      appendU32(out, readU32(privilegesData(token).data(), 0));
      return out;
    case TokenClass::kImpersonationLevel:
      break;
  }
  return out;
}

bool readCapabilities(std::uint64_t& permitted, std::uint64_t& effective) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  permitted = data[0].permitted | (std::uint64_t{data[1].permitted} << 32);
  effective = data[0].effective | (std::uint64_t{data[1].effective} << 32);
  return true;
}

bool copyName(const std::string& text, char* buffer, std::uint32_t size) {
  if (buffer == nullptr || text.size() + 1 > size) {
    setLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// The account or group name of a Unix id; empty when it has none.
std::string unixName(std::uint32_t kind, std::uint32_t id) {
  std::vector<char> scratch(16384);
  if (kind == kUnixUser) {
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(id, &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr) {
      return found->pw_name;
    }
  } else {
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(id, &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr) {
      return found->gr_name;
    }
  }
  return {};
}

// The machine's name up to its first dot: the "domain" of local accounts.
std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  std::string host = name;
  host = host.substr(0, host.find('.'));
  return host.empty() ? "localhost" : host;
}

}  // namespace

bool openProcessToken(std::uint32_t /*access*/, ProcessToken& token) {
  token = nullptr;
  auto impl = std::make_unique<ProcessTokenImpl>();
  impl->uid = geteuid();
  impl->gid = getegid();
  const int count = getgroups(0, nullptr);
  if (count < 0) return posix::failWithErrno();
  std::vector<gid_t> supplementary(static_cast<std::size_t>(count));
  const int got = getgroups(count, supplementary.data());
  if (got < 0) return posix::failWithErrno();
  supplementary.resize(static_cast<std::size_t>(got));
  impl->groups.push_back(impl->gid);
  for (gid_t gid : supplementary) {
    if (std::find(impl->groups.begin(), impl->groups.end(), gid) == impl->groups.end()) {
      impl->groups.push_back(gid);
    }
  }
  if (!readCapabilities(impl->permitted, impl->effective)) return posix::failWithErrno();
  token = impl.release();
  return true;
}

void closeToken(ProcessToken token) { delete token; }

bool getTokenInformation(ProcessToken token, TokenClass tokenClass, void* buffer,
                         std::uint32_t size, std::uint32_t* needed) {
  if (token == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  // A process token is a primary token: it has no impersonation level.
  if (tokenClass == TokenClass::kImpersonationLevel ||
      static_cast<std::uint32_t>(tokenClass) < 1 ||
      static_cast<std::uint32_t>(tokenClass) > 10) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  const Bytes data = classData(*token, tokenClass);
  const auto length = static_cast<std::uint32_t>(data.size());
  if (needed != nullptr) *needed = length;
  if (buffer == nullptr || size < length) {
    setLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::memcpy(buffer, data.data(), data.size());
  return true;
}

SidAndAttributes tokenUser(const void* buffer) {
  return {static_cast<const unsigned char*>(buffer) + readU32(buffer, 0), readU32(buffer, 4)};
}

std::uint32_t tokenGroupCount(const void* buffer) { return readU32(buffer, 0); }

SidAndAttributes tokenGroup(const void* buffer, std::uint32_t index) {
  const std::size_t at = 4 + 8 * std::size_t{index};
  return {static_cast<const unsigned char*>(buffer) + readU32(buffer, at),
          readU32(buffer, at + 4)};
}

std::uint32_t tokenPrivilegeCount(const void* buffer) { return readU32(buffer, 0); }

LuidAndAttributes tokenPrivilege(const void* buffer, std::uint32_t index) {
  const std::size_t at = 4 + 12 * std::size_t{index};
  LuidAndAttributes entry;
  entry.luid.lowPart = readU32(buffer, at);
  entry.luid.highPart = static_cast<std::int32_t>(readU32(buffer, at + 4));
  entry.attributes = readU32(buffer, at + 8);
  return entry;
}

const void* tokenOwner(const void* buffer) {
  return static_cast<const unsigned char*>(buffer) + readU32(buffer, 0);
}

const void* tokenPrimaryGroup(const void* buffer) { return tokenOwner(buffer); }

const void* tokenDefaultDacl(const void* buffer) {
  const std::uint32_t at = readU32(buffer, 0);
  return at == 0 ? nullptr : static_cast<const unsigned char*>(buffer) + at;
}

std::string tokenSourceName(const void* buffer) {
  const char* name = static_cast<const char*>(buffer);
  return std::string(name, strnlen(name, 8));
}

std::uint32_t tokenType(const void* buffer) { return readU32(buffer, 0); }

std::uint32_t tokenImpersonationLevel(const void* buffer) { return readU32(buffer, 0); }

bool isValidSid(const void* sid) {
  if (sid == nullptr) return false;
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities;
}

std::uint32_t sidSubAuthorityCount(const void* sid) {
  return static_cast<const unsigned char*>(sid)[1];
}

std::uint32_t sidSubAuthority(const void* sid, std::uint32_t index) {
  return readU32(sid, kSidHeader + 4 * std::size_t{index});
}

bool lookupAccountSid(const void* sid, char* name, std::uint32_t nameSize, char* domain,
                      std::uint32_t domainSize, std::uint32_t& kind) {
  if (!isValidSid(sid)) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(sid);
  static constexpr unsigned char kUnixPrefix[kSidHeader] = {1, 2, 0, 0, 0, 0, 0, kUnixAuthority};
  const std::uint32_t idKind = std::memcmp(bytes, kUnixPrefix, kSidHeader) == 0
                                   ? sidSubAuthority(sid, 0) : 0;
  const std::string account =
      idKind == kUnixUser || idKind == kUnixGroup ? unixName(idKind, sidSubAuthority(sid, 1))
                                                  : std::string();
  if (account.empty()) {
    setLastError(kErrorNoneMapped);
    return false;
  }
  if (!copyName(account, name, nameSize) || !copyName(hostName(), domain, domainSize)) {
    return false;
  }
  kind = idKind == kUnixUser ? kSidTypeUser : kSidTypeGroup;
  return true;
}

bool lookupPrivilegeName(Luid luid, char* name, std::uint32_t size) {
  if (luid.highPart != 0 || luid.lowPart >= kCapabilityNames.size()) {
    setLastError(kErrorNoSuchPrivilege);
    return false;
  }
  return copyName(kCapabilityNames[luid.lowPart], name, size);
}

bool getAce(const void* /*acl*/, std::uint32_t /*index*/, std::uint32_t& /*type*/,
            std::uint32_t& /*mask*/, const void*& /*sid*/) {
  // No token here carries an ACL.
  setLastError(kErrorInvalidParameter);
  return false;
}

std::uint32_t logicalDrives() {
  return 1u << 2;  // C: alone
}

}  // namespace platform

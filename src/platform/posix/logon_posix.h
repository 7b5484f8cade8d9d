// What a POSIX logon token holds: the account a process is to take on.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/logon.h"

namespace platform {

struct LogonTokenImpl {
  std::string user;
  uid_t uid = 0;
  gid_t gid = 0;
  // Supplementary groups, the primary group among them.
  std::vector<gid_t> groups;
};

namespace posix {

inline const std::string& tokenUser(LogonToken token) { return token->user; }
inline uid_t tokenUid(LogonToken token) { return token->uid; }
inline gid_t tokenGid(LogonToken token) { return token->gid; }
inline const std::vector<gid_t>& tokenGroups(LogonToken token) { return token->groups; }

}  // namespace posix
}  // namespace platform

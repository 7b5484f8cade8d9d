#include "platform/posix/logon_pam.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/posix/state_root.h"

namespace platform::posix {

namespace {

constexpr const char* kPamService = "vornd";

// Windows codes for what PAM can refuse, where the table in error.cpp has
// no name for them.
constexpr ErrorCode kErrorNoLogonServers = 1311;
constexpr ErrorCode kErrorPasswordExpired = 1330;
constexpr ErrorCode kErrorNoneMapped = 1332;
constexpr ErrorCode kErrorAccountExpired = 1793;
constexpr ErrorCode kErrorPasswordMustChange = 1907;

struct Credentials {
  const std::string* user;
  const std::string* password;
  // What the stack asked of a failure's answer, in microseconds; 0: nothing.
  unsigned failDelayUs = 0;
};

void freeResponses(pam_response* responses, int count) {
  for (int i = 0; i < count; ++i) std::free(responses[i].resp);
  std::free(responses);
}

// Answers the password prompt with the password and a name prompt with the
// user; messages for a terminal get an empty answer. Nothing is shown to
// anyone: the daemon has no one to show it to.
int converse(int count, const pam_message** messages, pam_response** out, void* data) {
  if (count <= 0 || messages == nullptr || out == nullptr) return PAM_CONV_ERR;
  const auto* credentials = static_cast<const Credentials*>(data);
  auto* responses = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (responses == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const std::string* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: answer = credentials->password; break;
      case PAM_PROMPT_ECHO_ON: answer = credentials->user; break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO: continue;
      default:
        freeResponses(responses, count);
        return PAM_CONV_ERR;
    }
    responses[i].resp = strdup(answer->c_str());
    if (responses[i].resp == nullptr) {
      freeResponses(responses, count);
      return PAM_BUF_ERR;
    }
  }
  *out = responses;
  return PAM_SUCCESS;
}

// In place of the sleep after a failure: the delay is only noted, and goes
// back with the verdict. The daemon keeps it without a process or a thread
// sleeping through it. PAM passes the conversation's data along.
void noteFailDelay(int status, unsigned microseconds, void* data) {
  if (status != PAM_SUCCESS && data != nullptr) {
    static_cast<Credentials*>(data)->failDelayUs = microseconds;
  }
}

ErrorCode errorFromPam(int result) {
  switch (result) {
    case PAM_ACCT_EXPIRED: return kErrorAccountExpired;
    case PAM_NEW_AUTHTOK_REQD: return kErrorPasswordMustChange;
    case PAM_AUTHTOK_EXPIRED:
    case PAM_CRED_EXPIRED: return kErrorPasswordExpired;
    case PAM_PERM_DENIED: return kErrorAccessDenied;
    // The caller may not read the secrets (a daemon that is not root).
    case PAM_CRED_INSUFFICIENT: return kErrorPrivilegeNotHeld;
    // The account store (shadow file, directory server) could not be read.
    case PAM_AUTHINFO_UNAVAIL:
    case PAM_CRED_UNAVAIL: return kErrorNoLogonServers;
    case PAM_BUF_ERR: return kErrorNotEnoughMemory;
    // PAM_AUTH_ERR, PAM_USER_UNKNOWN, PAM_MAXTRIES, and the module and
    // configuration failures: to the client all of them are a refused
    // name or password, as LogonUser says it.
    default: return kErrorLogonFailure;
  }
}

// The name of the terminal, as PAM_TTY, that modules and audit records see
// for a logon through this daemon: it has no terminal of its own.
constexpr const char* kPamTerminal = "vornd";

// Who logs on from where, for the modules that decide by it (pam_access,
// pam_faillock) and for the audit records, as a remote login daemon tells
// them. The client names no user of its own host: PAM_RUSER is empty.
int describeClient(pam_handle_t* handle, const std::string& clientAddress) {
  int result = PAM_SUCCESS;
  if (!clientAddress.empty()) result = pam_set_item(handle, PAM_RHOST, clientAddress.c_str());
  if (result == PAM_SUCCESS) result = pam_set_item(handle, PAM_RUSER, "");
  if (result == PAM_SUCCESS) result = pam_set_item(handle, PAM_TTY, kPamTerminal);
  return result;
}

// The account the stack settled on: a module may have mapped the typed
// name to another (letter case, an alias, a directory's name), and it is
// that account the checks passed for.
int settledAccount(pam_handle_t* handle, std::string& account) {
  const void* item = nullptr;
  const int result = pam_get_item(handle, PAM_USER, &item);
  if (result != PAM_SUCCESS) return result;
  const char* name = static_cast<const char*>(item);
  if (name == nullptr || *name == '\0') return PAM_USER_UNKNOWN;
  account = name;
  return PAM_SUCCESS;
}

// PAM's verdict: PAM_SUCCESS when the password is right and the account
// may log on now, its name then in `account`. The delay the stack asked
// for after a failure is left in failDelayUs.
int checkWithPam(const std::string& user, const std::string& password,
                 const std::string& clientAddress, unsigned& failDelayUs, std::string& account) {
  Credentials credentials{&user, &password};
  const pam_conv conversation{converse, &credentials};
  pam_handle_t* handle = nullptr;
  int result = pam_start(kPamService, user.c_str(), &conversation, &handle);
  if (result != PAM_SUCCESS) return result;
  void (*delay)(int, unsigned, void*) = noteFailDelay;
  result = pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(delay));
  if (result == PAM_SUCCESS) result = describeClient(handle, clientAddress);
  if (result == PAM_SUCCESS) result = pam_authenticate(handle, 0);
  if (result == PAM_SUCCESS) result = pam_acct_mgmt(handle, 0);
  if (result == PAM_SUCCESS) result = settledAccount(handle, account);
  pam_end(handle, result);
  failDelayUs = credentials.failDelayUs;
  return result;
}

// The system's account list entry for a name: getpwnam_r's error, with
// `found` null when the list has no such name. The entry's strings live
// in `buffer`.
int lookUpAccount(const std::string& user, passwd& entry, std::vector<char>& buffer,
                  passwd*& found) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  buffer.resize(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
  found = nullptr;
  int error;
  while ((error = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  return error;
}

// Whether the system's account list knows the name, for the pacing of a
// failure: an unknown one must not be told apart by its speed.
bool accountExists(const std::string& user) {
  passwd entry{};
  std::vector<char> buffer;
  passwd* found = nullptr;
  const int error = lookUpAccount(user, entry, buffer, found);
  // An account list that cannot be read is taken to know the name: its
  // failure is then paced as the stack asked, nothing more.
  return error != 0 || found != nullptr;
}

// The account's ids and groups, or an error code.
ErrorCode readAccount(const std::string& user, LogonTokenImpl& account) {
  passwd entry{};
  std::vector<char> buffer;
  passwd* found = nullptr;
  const int error = lookUpAccount(user, entry, buffer, found);
  if (error != 0) return static_cast<ErrorCode>(errorFromErrno(error));
  // PAM knew the name but the system's account list does not.
  if (found == nullptr) return kErrorNoneMapped;
  account.user = entry.pw_name;
  account.uid = entry.pw_uid;
  account.gid = entry.pw_gid;

  std::vector<gid_t> groups(16);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    // count now holds the number needed.
    const auto needed = static_cast<std::size_t>(count);
    groups.resize(needed > groups.size() ? needed : groups.size() * 2);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<std::size_t>(count));
  account.groups = std::move(groups);
  return kErrorSuccess;
}

}  // namespace

LogonReply checkLogon(const std::string& user, const std::string& password,
                      const std::string& clientAddress) {
  LogonReply reply;
  unsigned failDelayUs = 0;
  std::string account;
  if (const int result = checkWithPam(user, password, clientAddress, failDelayUs, account);
      result != PAM_SUCCESS) {
    reply.error = errorFromPam(result);
    reply.pacing.delayAsked = failDelayUs != 0;
    reply.pacing.delayMs = (failDelayUs + 999) / 1000;
    reply.pacing.unknownAccount = !accountExists(user);
  } else {
    reply.error = readAccount(account, reply.account);
  }
  return reply;
}

}  // namespace platform::posix

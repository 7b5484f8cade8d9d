// What the daemon and its logon child say to each other over their socket.
// Both ends are the same executable, so numbers travel in the machine's own
// byte order; what arrives is still checked in full, since a child that
// died half-way or a module that wrote to the wrong descriptor must give a
// clear error, not a token made of noise.
//
//   request: u32 user length, user, u32 password length, password,
//            u32 address length, the client's address (dotted text)
//   reply:   u32 magic, u32 error, u32 uid, u32 gid, u32 name length,
//            u32 group count, name, the groups (u32 each)
//
// A reply with an error carries no name and no groups, and in place of
// uid and gid the pacing of the failure: the delay PAM asked for, in ms,
// and its flags (kPacingDelayAsked, kPacingUnknownAccount). One without
// carries a name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/posix/logon_posix.h"

namespace platform::posix {

// Longer names or passwords are refused before anything is started.
inline constexpr std::size_t kMaximumLogonField = 4096;
// The kernel's own limit on supplementary groups.
inline constexpr std::size_t kMaximumLogonGroups = 65536;
inline constexpr std::size_t kLogonReplyHeader = 24;

struct LogonRequest {
  std::string user;
  std::string password;
  std::string clientAddress;
};

inline constexpr std::uint32_t kPacingDelayAsked = 1;
inline constexpr std::uint32_t kPacingUnknownAccount = 2;

struct LogonReply {
  ErrorCode error = kErrorSuccess;
  LogonTokenImpl account;  // only without an error
  LogonPacing pacing;      // only with one
};

// The ...Length functions read a message as it comes in: given the bytes
// so far, they give the length the message has as far as those bytes show
// (so a reader reads up to it and asks again), or nullopt when the bytes
// are already wrong. The message is complete once the answer equals the
// number of bytes in.
std::string encodeLogonRequest(const std::string& user, const std::string& password,
                               const std::string& clientAddress = std::string());
std::optional<std::size_t> logonRequestLength(const std::string& prefix);
// Nullopt unless the bytes are exactly one well-formed request.
std::optional<LogonRequest> decodeLogonRequest(const std::string& bytes);

std::string encodeLogonReply(const LogonReply& reply);
std::optional<std::size_t> logonReplyLength(const std::string& prefix);
std::optional<LogonReply> decodeLogonReply(const std::string& bytes);

}  // namespace platform::posix

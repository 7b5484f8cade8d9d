#include "platform/posix/logon_wire.h"

#include <cstring>

namespace platform::posix {

namespace {

// "VLR1" in the reply's first four bytes: something else there means the
// bytes did not come from a logon child at all.
constexpr std::uint32_t kReplyMagic = 0x31524c56u;

void putNumber(std::string& out, std::uint32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

std::uint32_t numberAt(const std::string& bytes, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

}  // namespace

std::string encodeLogonRequest(const std::string& user, const std::string& password,
                               const std::string& clientAddress) {
  std::string out;
  // Reserved in full, so that no copy of the password is left behind in a
  // buffer given up while growing.
  out.reserve(12 + user.size() + password.size() + clientAddress.size());
  for (const std::string* field : {&user, &password, &clientAddress}) {
    putNumber(out, static_cast<std::uint32_t>(field->size()));
    out += *field;
  }
  return out;
}

std::optional<std::size_t> logonRequestLength(const std::string& prefix) {
  // Each field in turn: its length, then as many bytes.
  std::size_t end = 0;
  for (int field = 0; field < 3; ++field) {
    if (prefix.size() < end + 4) return end + 4;
    const std::size_t length = numberAt(prefix, end);
    if (length > kMaximumLogonField) return std::nullopt;
    end += 4 + length;
  }
  return end;
}

std::optional<LogonRequest> decodeLogonRequest(const std::string& bytes) {
  const auto length = logonRequestLength(bytes);
  if (!length || *length != bytes.size()) return std::nullopt;
  LogonRequest request;
  std::size_t at = 0;
  for (std::string* field : {&request.user, &request.password, &request.clientAddress}) {
    const std::size_t fieldLength = numberAt(bytes, at);
    field->assign(bytes, at + 4, fieldLength);
    at += 4 + fieldLength;
  }
  return request;
}

std::string encodeLogonReply(const LogonReply& reply) {
  std::string out;
  putNumber(out, kReplyMagic);
  putNumber(out, reply.error);
  const bool ok = reply.error == kErrorSuccess;
  if (ok) {
    putNumber(out, reply.account.uid);
    putNumber(out, reply.account.gid);
  } else {
    putNumber(out, reply.pacing.delayMs);
    putNumber(out, (reply.pacing.delayAsked ? kPacingDelayAsked : 0) |
                       (reply.pacing.unknownAccount ? kPacingUnknownAccount : 0));
  }
  putNumber(out, ok ? static_cast<std::uint32_t>(reply.account.user.size()) : 0);
  putNumber(out, ok ? static_cast<std::uint32_t>(reply.account.groups.size()) : 0);
  if (ok) {
    out += reply.account.user;
    for (const gid_t group : reply.account.groups) putNumber(out, group);
  }
  return out;
}

std::optional<std::size_t> logonReplyLength(const std::string& prefix) {
  if (prefix.size() < kLogonReplyHeader) return kLogonReplyHeader;
  if (numberAt(prefix, 0) != kReplyMagic) return std::nullopt;
  const bool ok = numberAt(prefix, 4) == kErrorSuccess;
  const std::size_t nameLength = numberAt(prefix, 16);
  const std::size_t groupCount = numberAt(prefix, 20);
  const std::uint32_t knownFlags = kPacingDelayAsked | kPacingUnknownAccount;
  if (ok ? nameLength == 0 || nameLength > kMaximumLogonField || groupCount > kMaximumLogonGroups
         : nameLength != 0 || groupCount != 0 || (numberAt(prefix, 12) & ~knownFlags) != 0) {
    return std::nullopt;
  }
  return kLogonReplyHeader + nameLength + 4 * groupCount;
}

std::optional<LogonReply> decodeLogonReply(const std::string& bytes) {
  const auto length = logonReplyLength(bytes);
  if (!length || *length != bytes.size()) return std::nullopt;
  LogonReply reply;
  reply.error = numberAt(bytes, 4);
  if (reply.error != kErrorSuccess) {
    reply.pacing.delayMs = numberAt(bytes, 8);
    const std::uint32_t flags = numberAt(bytes, 12);
    reply.pacing.delayAsked = (flags & kPacingDelayAsked) != 0;
    reply.pacing.unknownAccount = (flags & kPacingUnknownAccount) != 0;
    return reply;
  }
  reply.account.uid = numberAt(bytes, 8);
  reply.account.gid = numberAt(bytes, 12);
  const std::size_t nameLength = numberAt(bytes, 16);
  reply.account.user = bytes.substr(kLogonReplyHeader, nameLength);
  // A name with a null in it would name some other account.
  if (reply.account.user.find('\0') != std::string::npos) return std::nullopt;
  for (std::size_t at = kLogonReplyHeader + nameLength; at < bytes.size(); at += 4) {
    reply.account.groups.push_back(numberAt(bytes, at));
  }
  return reply;
}

}  // namespace platform::posix

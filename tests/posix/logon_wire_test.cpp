// The format between the daemon and a logon child: whatever a child that
// died half-way or some stray writer leaves on the socket must be told
// apart from an answer, and never read as a token.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/posix/logon_wire.h"

namespace {

using platform::posix::decodeLogonReply;
using platform::posix::decodeLogonRequest;
using platform::posix::encodeLogonReply;
using platform::posix::encodeLogonRequest;
using platform::posix::kLogonReplyHeader;
using platform::posix::LogonReply;
using platform::posix::logonReplyLength;
using platform::posix::logonRequestLength;

LogonReply accountReply() {
  LogonReply reply;
  reply.account.user = "alice";
  reply.account.uid = 1001;
  reply.account.gid = 100;
  reply.account.groups = {100, 27, 4000000000u};
  return reply;
}

void setNumber(std::string& bytes, std::size_t offset, std::uint32_t value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Feeds a message in as a reader gets it, as many bytes as the length
// function asks for at a time; the final length, or nullopt.
template <typename Length>
std::optional<std::size_t> lengthAsRead(const std::string& bytes, Length length) {
  std::string prefix;
  for (;;) {
    const auto needed = length(prefix);
    if (!needed || *needed == prefix.size()) return needed;
    if (*needed < prefix.size() || *needed > bytes.size()) return needed;
    prefix = bytes.substr(0, *needed);
  }
}

TEST(LogonWire, AnAccountComesBackAsItWentOut) {
  const std::string bytes = encodeLogonReply(accountReply());
  EXPECT_EQ(lengthAsRead(bytes, logonReplyLength), bytes.size());
  const auto decoded = decodeLogonReply(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->error, 0u);
  EXPECT_EQ(decoded->account.user, "alice");
  EXPECT_EQ(decoded->account.uid, 1001u);
  EXPECT_EQ(decoded->account.gid, 100u);
  EXPECT_EQ(decoded->account.groups, (std::vector<gid_t>{100, 27, 4000000000u}));
}

TEST(LogonWire, ARefusalCarriesItsCodeAndNothingElse) {
  LogonReply refusal = accountReply();
  refusal.error = 1907;
  const std::string bytes = encodeLogonReply(refusal);
  EXPECT_EQ(bytes.size(), kLogonReplyHeader);
  const auto decoded = decodeLogonReply(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->error, 1907u);
  EXPECT_TRUE(decoded->account.user.empty());
  EXPECT_TRUE(decoded->account.groups.empty());
}

TEST(LogonWire, AReplyCutShortOrRunOnIsNoReply) {
  for (const LogonReply& reply : {accountReply(), LogonReply{1326, {}, {}}}) {
    const std::string bytes = encodeLogonReply(reply);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      EXPECT_FALSE(decodeLogonReply(bytes.substr(0, cut)).has_value()) << cut;
      // A reader that has this much still waits for more.
      const auto needed = logonReplyLength(bytes.substr(0, cut));
      ASSERT_TRUE(needed.has_value()) << cut;
      EXPECT_GT(*needed, cut);
    }
    EXPECT_FALSE(decodeLogonReply(bytes + '\0').has_value());
  }
}

TEST(LogonWire, AHeaderThatCannotBeAnAnswerIsRefusedAtOnce) {
  const std::string good = encodeLogonReply(accountReply());
  struct Damage {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  };
  for (const Damage& damage : {
           Damage{"not a reply's magic", 0, 0x0a0d0a0d},
           Damage{"an account without a name", 16, 0},
           Damage{"a name longer than any", 16, 4097},
           Damage{"more groups than the kernel allows", 20, 65537},
           Damage{"a group count out to the end of memory", 20, 0xffffffffu},
       }) {
    std::string bytes = good;
    setNumber(bytes, damage.offset, damage.value);
    EXPECT_FALSE(logonReplyLength(bytes.substr(0, kLogonReplyHeader)).has_value())
        << damage.what;
    EXPECT_FALSE(decodeLogonReply(bytes).has_value()) << damage.what;
  }
  // A refusal that still carries a name or groups.
  std::string refusal = encodeLogonReply(LogonReply{1326, {}, {}});
  for (const std::size_t offset : {std::size_t{16}, std::size_t{20}}) {
    std::string bytes = refusal;
    setNumber(bytes, offset, 1);
    EXPECT_FALSE(logonReplyLength(bytes).has_value()) << offset;
  }
}

TEST(LogonWire, ANameWithANullInsideIsRefused) {
  LogonReply reply = accountReply();
  reply.account.user = std::string("root\0alice", 10);
  EXPECT_FALSE(decodeLogonReply(encodeLogonReply(reply)).has_value());
}

TEST(LogonWire, ARequestCarriesNameAndPasswordWhateverTheyHold) {
  const std::string password("p\0ss:\n\xff", 7);
  const std::string bytes = encodeLogonRequest("bob", password);
  EXPECT_EQ(lengthAsRead(bytes, logonRequestLength), bytes.size());
  const auto decoded = decodeLogonRequest(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->user, "bob");
  EXPECT_EQ(decoded->password, password);

  const auto empty = decodeLogonRequest(encodeLogonRequest("bob", ""));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->password, "");

  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(decodeLogonRequest(bytes.substr(0, cut)).has_value()) << cut;
  }
  EXPECT_FALSE(decodeLogonRequest(bytes + 'x').has_value());
}

TEST(LogonWire, ARequestWithAnOverlongFieldIsRefusedFromItsLength) {
  const std::string longest(platform::posix::kMaximumLogonField, 'a');
  EXPECT_TRUE(decodeLogonRequest(encodeLogonRequest(longest, longest)).has_value());
  const std::string tooLong = longest + "a";
  EXPECT_FALSE(logonRequestLength(encodeLogonRequest(tooLong, "x").substr(0, 4)).has_value());
  const std::string bytes = encodeLogonRequest("bob", tooLong);
  EXPECT_FALSE(logonRequestLength(bytes.substr(0, 4 + 3 + 4)).has_value());
}

}  // namespace

// Every copy of a login record holds the client's password: a record, and
// the connection and the job that carry one, leave nothing of it in their
// memory where they end, and a record moved from is blank at once.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <utility>

#include "daemon/login_workers.h"
#include "login_check_fixture.h"
#include "session/client_connection.h"

namespace {

using testing_support::loginRecord;

const char* const kSecret = "Pw-wiped-at-the-end-61";

netLogin& recordOf(netLogin& record) { return record; }
template <typename Holder>
netLogin& recordOf(Holder& holder) {
  return holder.login;
}

// What an object of type T holding a record leaves in its storage once
// it has ended: whether the password can still be read there.
template <typename T>
bool secretLeftBehind() {
  alignas(T) unsigned char storage[sizeof(T)];
  T* object = new (storage) T();
  recordOf(*object) = loginRecord("alice", kSecret);
  object->~T();
  const std::string left(reinterpret_cast<const char*>(storage), sizeof storage);
  return left.find(kSecret) != std::string::npos;
}

TEST(RecordWipe, RecordsConnectionsAndJobsWipeThePasswordWhereTheyEnd) {
  EXPECT_FALSE(secretLeftBehind<netLogin>());
  EXPECT_FALSE(secretLeftBehind<ClientConnection>());
  EXPECT_FALSE(secretLeftBehind<LoginJob>());
}

TEST(RecordWipe, ARecordMovedFromIsBlankAndACopyKeepsItsOwn) {
  netLogin source = loginRecord("alice", kSecret);
  const netLogin copy = source;
  netLogin moved(std::move(source));
  EXPECT_EQ(source.password(), "");
  EXPECT_EQ(source.user(), "");
  EXPECT_EQ(moved.password(), kSecret);
  EXPECT_EQ(copy.password(), kSecret);
  netLogin assigned;
  assigned = std::move(moved);
  EXPECT_EQ(moved.password(), "");
  EXPECT_EQ(assigned.password(), kSecret);

  LoginJob job;
  job.login = copy;
  LoginJob taken(std::move(job));
  EXPECT_EQ(job.login.password(), "");
  EXPECT_EQ(taken.login.password(), kSecret);
}

}  // namespace

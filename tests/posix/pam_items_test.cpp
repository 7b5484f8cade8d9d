// What the daemon's PAM conversation takes from the stack and tells it:
// the account PAM settled on, which a module may have mapped from the
// typed name, and who logs on from where, for the modules that decide by
// it (pam_access, pam_faillock) and for auditing. As root only (accounts
// and PAM files).
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "login_check_fixture.h"
#include "platform/posix/logon_posix.h"
#include "posix/pam_service_file.h"
#include "posix/throwaway_account.h"

namespace {

using testing_support::kAccepted;

class PamItems : public testing_support::LoginCheck {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating accounts and PAM files needs root";
    LoginCheck::SetUp();
    ASSERT_TRUE(m_typed.create());
    ASSERT_TRUE(m_mapped.create());
  }

  testing_support::ThrowAwayAccount m_typed{"t"};
  testing_support::ThrowAwayAccount m_mapped{"m"};
  testing_support::PamServiceFile m_stack;
};

TEST_F(PamItems, TheTokenIsOfTheAccountTheStackSettledOnNotOfTheTypedName) {
  ASSERT_TRUE(m_stack.install("auth required pam_unix.so nodelay\n"
                              "auth required " VORND_TEST_PAM_RENAME " user=" +
                              m_mapped.name() +
                              "\n"
                              "account required pam_unix.so\n"));
  const auto outcome = check(m_typed.name(), m_typed.password());
  ASSERT_EQ(outcome.reply, kAccepted);
  ASSERT_NE(m_token, nullptr);
  const passwd* mapped = getpwnam(m_mapped.name().c_str());
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(platform::posix::tokenUser(m_token), m_mapped.name());
  EXPECT_EQ(platform::posix::tokenUid(m_token), mapped->pw_uid);
  EXPECT_EQ(platform::posix::tokenGid(m_token), mapped->pw_gid);
}

TEST_F(PamItems, ModulesSeeTheClientsAddressAnEmptyRemoteUserAndTheDaemonsTerminalName) {
  // pam_exec gives a program the items that are set as PAM_RHOST and the
  // like; "${X-unset}" tells an empty one from none.
  const std::string script = m_dir.file("items.sh");
  const std::string seen = m_dir.file("items.txt");
  ASSERT_TRUE(testing_support::writeFile(
      script,
      "#!/bin/sh\n"
      "echo \"rhost=${PAM_RHOST-unset} ruser=${PAM_RUSER-unset} tty=${PAM_TTY-unset}\" > \"$1\"\n"));
  ASSERT_EQ(chmod(script.c_str(), 0700), 0);
  ASSERT_TRUE(m_stack.install("auth optional pam_exec.so quiet " + script + " " + seen +
                              "\n"
                              "auth required pam_unix.so nodelay\n"
                              "account required pam_unix.so\n"));
  EXPECT_EQ(check(m_typed.name(), m_typed.password()).reply, kAccepted);
  EXPECT_EQ(testing_support::readFile(seen), "rhost=127.0.0.1 ruser= tty=vornd\n");
}

}  // namespace

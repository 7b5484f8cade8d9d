// errno mapping and the system texts of the POSIX side.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>

#include "platform/error.h"
#include "platform/posix/state_root.h"

namespace {

using platform::posix::errorFromErrno;

TEST(PosixErrorMapping, MapsTheErrorsTheLayersProduce) {
  struct Case {
    int errnoValue;
    unsigned long code;
  };
  const Case cases[] = {
      {0, 0},         {ENOENT, 2},        {EACCES, 5},        {EPERM, 5},
      {EBADF, 6},     {ENOMEM, 8},        {EINVAL, 87},       {EEXIST, 183},
      {ENOTDIR, 3},   {ENOSPC, 112},      {EPIPE, 109},       {EAGAIN, 10035},
      {EWOULDBLOCK, 10035}, {EINPROGRESS, 10035}, {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061},
      {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049}, {ECONNRESET, 10054}, {ENOTSOCK, 10038},
      {ECONNABORTED, 10053}, {ENOTCONN, 10057}, {ENOEXEC, 193},  {ERANGE, 122},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(errorFromErrno(c.errnoValue), c.code) << "errno " << c.errnoValue;
  }
}

TEST(PosixErrorMapping, FailWithErrnoSetsTheMappedLastError) {
  platform::setLastError(0);
  EXPECT_FALSE(platform::posix::failWithErrno(ECONNREFUSED));
  EXPECT_EQ(platform::lastError(), 10061u);
  errno = ENOENT;
  EXPECT_FALSE(platform::posix::failWithErrno());
  EXPECT_EQ(platform::lastError(), platform::kErrorFileNotFound);
}

TEST(PosixErrorText, EveryMappedCodeHasOneLineOfText) {
  std::set<unsigned long> codes;
  for (int value = 1; value <= 133; ++value) codes.insert(errorFromErrno(value));
  for (unsigned long code : codes) {
    std::optional<std::string> text =
        platform::systemErrorText(static_cast<platform::ErrorCode>(code));
    ASSERT_TRUE(text.has_value()) << "no text for " << code;
    ASSERT_GE(text->size(), 2u);
    EXPECT_EQ(text->back(), '\n') << code;
    EXPECT_EQ(text->find('\n'), text->size() - 1) << code;
    EXPECT_EQ(text->find('\r'), std::string::npos) << code;
    EXPECT_EQ((*text)[text->size() - 2], '.') << code;
  }
}

TEST(PosixErrorText, CodesTheCoreNamesHaveText) {
  using namespace platform;
  const ErrorCode named[] = {
      kErrorSuccess, kErrorInvalidFunction, kErrorFileNotFound, kErrorPathNotFound,
      kErrorAccessDenied, kErrorInvalidHandle, kErrorNotEnoughMemory, kErrorInvalidData,
      kErrorGenFailure, kErrorNotSupported, kErrorInvalidParameter, kErrorBrokenPipe,
      kErrorInsufficientBuffer, kErrorAlreadyExists, kErrorMoreData, kErrorNoMoreItems,
      kErrorBadExeFormat, kErrorServiceRequestTimeout, kErrorInvalidServiceControl,
      kErrorServiceAlreadyRunning, kErrorServiceDoesNotExist, kErrorServiceCannotAcceptCtrl,
      kErrorServiceNotActive, kErrorFailedServiceControllerConnect,
      kErrorServiceMarkedForDelete, kErrorServiceExists, kErrorDuplicateServiceName,
      kErrorPrivilegeNotHeld, kErrorLogonFailure};
  for (ErrorCode code : named) {
    std::optional<std::string> text = systemErrorText(code);
    ASSERT_TRUE(text.has_value()) << code;
    EXPECT_EQ(text->back(), '\n') << code;
  }
}

TEST(PosixErrorText, KnownTextsAndNoTextForUnknownCodes) {
  EXPECT_EQ(platform::systemErrorText(0), "The operation completed successfully.\n");
  EXPECT_EQ(platform::systemErrorText(5), "Access is denied.\n");
  EXPECT_EQ(platform::systemErrorText(1060),
            "The specified service does not exist as an installed service.\n");
  EXPECT_EQ(platform::systemErrorText(10048),
            "Only one usage of each socket address (protocol/network address/port) is "
            "normally permitted.\n");
  EXPECT_FALSE(platform::systemErrorText(0x12345).has_value());
  EXPECT_FALSE(platform::systemErrorText(0xFFFFFFFFu).has_value());
}

TEST(PosixLastError, IsKeptPerThread) {
  platform::setLastError(1060);
  platform::ErrorCode seenThere = 1;
  std::thread other([&] {
    seenThere = platform::lastError();
    platform::setLastError(5);
  });
  other.join();
  EXPECT_EQ(seenThere, 0u);
  EXPECT_EQ(platform::lastError(), 1060u);
}

}  // namespace

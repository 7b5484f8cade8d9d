// errno mapping and the system texts of the POSIX side.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
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

// Every code the POSIX side can set, read from its sources rather than
// listed again here: the ErrorCode constants, the literal codes handed to
// the failure helpers, and the codes the mapping switches return. A code
// added anywhere in the layer without its text fails here.
TEST(PosixErrorText, EveryCodeThePosixSourcesCanProduceHasText) {
  namespace fs = std::filesystem;
  const fs::path source(VORND_SOURCE_DIR);
  std::vector<fs::path> files{source / "src/platform/error.h"};
  for (const fs::directory_entry& entry : fs::directory_iterator(source / "src/platform/posix")) {
    files.push_back(entry.path());
  }
  const std::regex forms[] = {
      std::regex(R"(constexpr\s+ErrorCode\s+k\w+\s*=\s*(\d+))"),
      std::regex(R"(\b(?:setLastError|fail\w*|failNull<\w+>)\(\s*(\d+)u?\s*\))"),
      std::regex(R"((?:\bcase\s[^:;]+|\bdefault)\s*:\s*return\s+(\d+)u?\s*;)"),
  };
  std::map<unsigned long, std::string> codes;  // code -> where it was seen
  int seen[std::size(forms)] = {};
  for (const fs::path& file : files) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string body = text.str();
    for (std::size_t form = 0; form < std::size(forms); ++form) {
      for (std::sregex_iterator match(body.begin(), body.end(), forms[form]), end; match != end;
           ++match) {
        codes.emplace(std::stoul((*match)[1]), file.filename().string() + ": " + match->str());
        ++seen[form];
      }
    }
  }
  // Each form must still find something, or a changed source would make
  // this test pass by finding nothing.
  for (std::size_t form = 0; form < std::size(forms); ++form) EXPECT_GT(seen[form], 0) << form;
  EXPECT_GT(codes.size(), 60u);
  for (const auto& [code, where] : codes) {
    EXPECT_TRUE(platform::systemErrorText(static_cast<platform::ErrorCode>(code)).has_value())
        << "no text for " << code << ", set by " << where;
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

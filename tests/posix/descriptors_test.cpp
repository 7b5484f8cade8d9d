// The descriptor limit, changed on this test process itself and put back
// afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/descriptors.h"

namespace {

class DescriptorLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &m_saved), 0);
    m_taken = true;
  }
  // The other tests in this process keep the limits they started with.
  void TearDown() override {
    if (m_taken) setrlimit(RLIMIT_NOFILE, &m_saved);
  }

  rlim_t hard() const { return m_saved.rlim_max; }

 private:
  rlimit m_saved{};
  bool m_taken = false;
};

TEST_F(DescriptorLimit, RaisesTheSoftLimitToTheHardOneAndSaysSo) {
  // Linux refuses a hard limit above fs.nr_open, "unlimited" included.
  ASSERT_NE(hard(), RLIM_INFINITY);
  if (hard() <= 128) GTEST_SKIP() << "a hard limit of " << hard() << " leaves nothing to raise";
  const struct {
    const char* what;
    rlim_t soft;
  } cases[] = {
      {"lowered", 128},
      {"already at the hard limit", hard()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const rlimit lowered{c.soft, hard()};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(platform::descriptorLimit(), c.soft);

    const std::size_t raised = platform::raiseDescriptorLimit();
    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, hard());
    EXPECT_EQ(now.rlim_max, hard());
    EXPECT_EQ(raised, now.rlim_cur);
    EXPECT_EQ(platform::descriptorLimit(), raised);
  }
}

}  // namespace

// The POSIX side of the files facility: full path names from the text
// alone, as GetFullPathName makes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace {

// Runs the test body in a folder and goes back afterwards.
class InFolder {
 public:
  explicit InFolder(const std::filesystem::path& folder) : m_previous(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(m_previous); }

 private:
  std::filesystem::path m_previous;
};

TEST(PosixFullPathName, RelativePathsStartAtTheCurrentFolderAndStepsResolveByText) {
  testing_support::TemporaryDirectory dir;
  const std::string base = std::filesystem::canonical(dir.path()).string();
  const std::string parent = std::filesystem::path(base).parent_path().string();
  std::filesystem::create_directories(dir.path() / "w" / "real");
  // "link/.." is the folder that holds the link, whatever the link names.
  std::filesystem::create_directory_symlink(dir.path() / "w" / "real", dir.path() / "w" / "link");
  const std::string w = base + "/w";
  InFolder inside(dir.path() / "w");

  const struct {
    const char* path;
    std::string full;
  } cases[] = {
      {"engine", w + "/engine"},
      {"./engine", w + "/engine"},
      {"bin/../engine", w + "/engine"},
      {"bin//x", w + "/bin/x"},
      {"bin/./x/", w + "/bin/x/"},
      {"missing/file", w + "/missing/file"},
      {"../up", base + "/up"},
      {"../../up", parent + "/up"},
      {".", w},
      {"..", base},
      {"a/..", w},
      {"link/../x", w + "/x"},
      {"/abs//a/./b/../c", "/abs/a/c"},
      {"/a/.", "/a"},
      {"/a/b/", "/a/b/"},
      {"/", "/"},
      {"///", "/"},
      {"/..", "/"},
      {"/a/../../..", "/"},
      {"//x", "/x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.full, platform::fullPathName(c.path).value_or("(none)")) << c.path;
  }
}

TEST(PosixFullPathName, AnEmptyPathHasNone) {
  platform::setLastError(0);
  EXPECT_EQ(std::nullopt, platform::fullPathName(""));
  EXPECT_EQ(123u, platform::lastError());
}

}  // namespace

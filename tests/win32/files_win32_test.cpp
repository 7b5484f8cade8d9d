// The Windows side of the files facility: full path names from the
// system's own GetFullPathName.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/files.h"

namespace {

TEST(Win32FullPathName, RelativePathsStartAtTheCurrentFolderAndStepsResolve) {
  std::string here = std::filesystem::current_path().string();
  if (!here.empty() && here.back() == '\\') here.pop_back();
  const struct {
    const char* path;
    std::string full;
  } cases[] = {
      {"engine.exe", here + "\\engine.exe"},
      {".\\engine.exe", here + "\\engine.exe"},
      {"bin\\..\\engine.exe", here + "\\engine.exe"},
      {"bin/./x.exe", here + "\\bin\\x.exe"},
      {"c:\\a\\.\\b\\..\\c.exe", "c:\\a\\c.exe"},
      {"c:\\a\\b\\", "c:\\a\\b\\"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.full, platform::fullPathName(c.path).value_or("(none)")) << c.path;
  }
  platform::setLastError(0);
  EXPECT_EQ(std::nullopt, platform::fullPathName(""));
  EXPECT_EQ(123u, platform::lastError());
}

}  // namespace

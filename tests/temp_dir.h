// A temporary directory for one test, removed with everything in it, and
// a state root pointed there for as long as the test runs.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/process.h"

namespace testing_support {

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    static std::atomic<int> counter{0};
    m_path = std::filesystem::temp_directory_path() /
             ("vornd-test-" + std::to_string(platform::currentProcessId()) + "-" +
              std::to_string(counter++));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::string file(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Points VORND_ROOT at a fresh directory and restores the old value.
class ScopedStateRoot {
 public:
  ScopedStateRoot() : m_root(m_dir.file("root")) {
    m_old = platform::getEnvironmentVariable("VORND_ROOT");
    platform::setEnvironmentVariable("VORND_ROOT", m_root);
  }
  ~ScopedStateRoot() { platform::setEnvironmentVariable("VORND_ROOT", m_old); }
  const std::string& path() const { return m_root; }

 private:

  TemporaryDirectory m_dir;
  std::string m_root;
  std::optional<std::string> m_old;
};

inline bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text's lines, without their line ends (LF or CR LF).
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

inline bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace testing_support

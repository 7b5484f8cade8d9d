#include "daemon/log_stream.h"

namespace {

constexpr std::uint64_t kMegabyte = 1024 * 1024;

}  // namespace

platform::ErrorCode LogStream::open(const std::string& path, std::uint32_t maxMegabytes) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file != nullptr) return 0;
  m_maxMegabytes = maxMegabytes;
  m_written = 0;
  m_full = false;
  m_lineOpen = false;
  m_file = platform::openLogFile(path);
  if (m_file == nullptr) {
    m_failed = true;
    return platform::lastError();
  }
  m_failed = false;
  return 0;
}

bool LogStream::is_open() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file != nullptr;
}

bool LogStream::good() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file != nullptr && !m_failed;
}

void LogStream::close() {
  std::lock_guard<std::mutex> guard(m_lock);
  platform::closeLogFile(m_file);
  m_file = nullptr;
}

void LogStream::onWriteFailure(FailureHandler handler) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_onWriteFailure = std::move(handler);
}

void LogStream::write(const std::string& text, bool endLine) {
  FailureHandler report;
  platform::ErrorCode code = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_file == nullptr || m_failed || m_full) return;
    std::string whole = endLine ? text + '\n' : text;
    if (m_maxMegabytes != 0 &&
        m_written + platform::logFileLength(whole) > m_maxMegabytes * kMegabyte) {
      // The notice itself may go past the limit; it is the last line.
      m_full = true;
      whole = fullNotice();
    }
    if (platform::writeLogFile(m_file, whole)) {
      m_written += platform::logFileLength(whole);
      if (!whole.empty()) m_lineOpen = whole.back() != '\n';
      return;
    }
    m_failed = true;
    code = platform::lastError();
    report = m_onWriteFailure;
  }
  if (report) report(code);
}

std::string LogStream::fullNotice() const {
  return std::string(m_lineOpen ? "\n" : "") + "The log file reached its limit of " +
         std::to_string(m_maxMegabytes) +
         " MB: nothing more is written to it until the next start\n";
}

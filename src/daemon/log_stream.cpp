#include "daemon/log_stream.h"

platform::ErrorCode LogStream::open(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file != nullptr) return 0;
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
    if (m_file == nullptr || m_failed) return;
    if (platform::writeLogFile(m_file, endLine ? text + '\n' : text)) return;
    m_failed = true;
    code = platform::lastError();
    report = m_onWriteFailure;
  }
  if (report) report(code);
}

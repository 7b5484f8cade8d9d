#include "daemon/log_stream.h"

void LogStream::open(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_file.open(path, std::ios::out | std::ios::trunc);
}

bool LogStream::is_open() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file.is_open();
}

bool LogStream::good() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file.is_open() && m_file.good();
}

void LogStream::close() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file.is_open()) m_file.close();
}

void LogStream::write(const std::string& text, bool endLine) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file.is_open() || !m_file.good()) return;
  m_file << text;
  if (endLine) m_file << '\n';
  m_file.flush();
}

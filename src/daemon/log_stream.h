// The daemon's log: a plain text file, written one entry at a time.
//
// An entry is built from pieces and reaches the file whole, with its line
// end, and is flushed at once:
//
//   m_log.entry() << "OnStop called - m_bStop = " << stopped;
//
// Entries come from the service main thread and from the worker thread;
// each is written under a lock, so one never splits another. Truth values
// are written as "true" and "false". Until the log is opened, and after a
// failed open or write, entries are dropped without notice.
#pragma once

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

class LogStream {
 public:
  class Entry {
   public:
    explicit Entry(LogStream& log) : m_log(log) { m_text << std::boolalpha; }
    ~Entry() { m_log.write(m_text.str(), m_endLine); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    template <typename T>
    Entry& operator<<(const T& piece) {
      m_text << piece;
      return *this;
    }

    // Ends the entry with a flush alone: the next entry continues the line.
    Entry& withoutLineEnd() {
      m_endLine = false;
      return *this;
    }

   private:
    LogStream& m_log;
    std::ostringstream m_text;
    bool m_endLine = true;
  };

  LogStream() = default;
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  // Opens the file for writing, emptying it. A failed open leaves the log
  // in its failed state.
  void open(const std::string& path);
  bool is_open() const;
  bool good() const;
  void close();

  Entry entry() { return Entry(*this); }

 private:
  void write(const std::string& text, bool endLine);

  mutable std::mutex m_lock;
  std::ofstream m_file;
};

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
// failed open or write, entries are dropped; the first failed write is
// handed to the failure handler, once.
#pragma once

#include <functional>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/error.h"
#include "platform/log_file.h"

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

  using FailureHandler = std::function<void(platform::ErrorCode)>;

  LogStream() = default;
  ~LogStream() { close(); }
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  // Opens the file for writing, emptying it (see platform/log_file.h for
  // what is refused). 0, or the error that left the log in its failed
  // state.
  platform::ErrorCode open(const std::string& path);
  bool is_open() const;
  bool good() const;
  void close();
  // Called with the error of the first write that fails, outside the
  // log's lock; later entries are dropped.
  void onWriteFailure(FailureHandler handler);

  Entry entry() { return Entry(*this); }

 private:
  void write(const std::string& text, bool endLine);

  mutable std::mutex m_lock;
  platform::LogFileHandle m_file = nullptr;
  bool m_failed = false;
  FailureHandler m_onWriteFailure;
};

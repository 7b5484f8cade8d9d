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
//
// A log opened with a size limit counts the bytes it puts in the file. The
// first entry that would take the file past the limit is not written; one
// line that says so takes its place, and every later entry is dropped, so
// a flood of refused clients cannot fill the disk. The file starts empty
// again at the next open.
#pragma once

#include <cstdint>
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
  // what is refused), to hold at most maxMegabytes MB (1,048,576 bytes
  // each); 0 sets no limit. 0, or the error that left the log in its
  // failed state.
  platform::ErrorCode open(const std::string& path, std::uint32_t maxMegabytes = 0);
  bool is_open() const;
  bool good() const;
  void close();
  // Called with the error of the first write that fails, outside the
  // log's lock; later entries are dropped.
  void onWriteFailure(FailureHandler handler);

  Entry entry() { return Entry(*this); }

 private:
  void write(const std::string& text, bool endLine);
  // The line that takes the place of the first entry past the limit.
  std::string fullNotice() const;

  mutable std::mutex m_lock;
  platform::LogFileHandle m_file = nullptr;
  bool m_failed = false;
  FailureHandler m_onWriteFailure;
  std::uint32_t m_maxMegabytes = 0;
  std::uint64_t m_written = 0;
  bool m_full = false;
  // An entry ended with a flush alone left its line open.
  bool m_lineOpen = false;
};

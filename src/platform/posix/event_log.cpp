#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

#include "platform/error.h"
#include "platform/posix/no_follow_path.h"
#include "platform/posix/state_root.h"
#include "platform/tap.h"

namespace platform {

struct EventSourceImpl {
  int fd = -1;
  std::string name;
};

namespace {

// openlog keeps a pointer to its ident and is process-wide, so every
// syslog call opens, sends and closes under one lock.
std::mutex g_syslogMutex;

std::string utcTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buffer[32];
  std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(buffer, length);
}

// One entry is one line: line breaks inside become the two characters \n,
// carriage returns go, and a final line break is no part of the entry.
std::string oneLine(const std::string& text) {
  std::string stripped;
  stripped.reserve(text.size());
  for (char c : text) {
    if (c != '\r') stripped += c;
  }
  if (!stripped.empty() && stripped.back() == '\n') stripped.pop_back();
  std::string line;
  line.reserve(stripped.size());
  for (char c : stripped) {
    if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  return line;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t written = write(fd, data.data() + done, data.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return posix::failWithErrno();
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

int priority(EventType type) {
  switch (type) {
    case EventType::Error: return LOG_ERR;
    case EventType::Warning: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

const char* typeName(EventType type) {
  switch (type) {
    case EventType::Error: return "ERROR";
    case EventType::Warning: return "WARNING";
    default: return "INFORMATION";
  }
}

void sendToSyslog(const std::string& source, EventType type, const std::string& line) {
  struct stat info {};
  if (stat("/dev/log", &info) != 0) return;
  std::lock_guard<std::mutex> guard(g_syslogMutex);
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(priority(type), "%s", line.c_str());
  closelog();
}

}  // namespace

EventSource registerEventSource(const std::string& sourceName) {
  // Opened as the daemon's log is: no link at any step, and only a plain
  // file of the daemon's own account, so no one else reads or bends what
  // the daemon reports.
  const int folder = posix::openLogFolderNoFollow();
  if (folder < 0) return nullptr;
  struct stat info;
  const int fd = posix::openOwnFileNoFollow(
      folder, "events.log", O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0644, false, info);
  close(folder);
  if (fd < 0) return nullptr;
  auto* source = new EventSourceImpl;
  source->fd = fd;
  source->name = sourceName;
  return source;
}

bool reportEvent(EventSource source, EventType type, const std::string& text) {
  if (source == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (Tap* tap = currentTap()) tap->onEventLog(source->name, type, text);

  const std::string body = oneLine(text);
  const std::string entry = utcTimestamp() + " " + source->name + " " +
                            typeName(type) + " " + body +
                            "\n";
  // O_APPEND and a single write keep entries of concurrent writers whole.
  bool written = writeAll(source->fd, entry);
  sendToSyslog(source->name, type, body);
  return written;
}

void deregisterEventSource(EventSource source) {
  if (source == nullptr) return;
  close(source->fd);
  delete source;
}

}  // namespace platform

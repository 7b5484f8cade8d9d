#include "platform/log_file.h"

#include <windows.h>

namespace platform {

struct LogFileImpl {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

LogFileHandle failWith(HANDLE handle, DWORD code) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  SetLastError(code);
  return nullptr;
}

}  // namespace

LogFileHandle openLogFile(const std::string& path) {
  // Not inheritable: engines, some running as the client's account, must
  // not get a write handle to the daemon's log. FILE_FLAG_OPEN_REPARSE_POINT
  // opens a link itself instead of its target, so it can be refused below.
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return failWith(handle, GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) {
      return failWith(handle, kErrorCantAccessFile);
    }
    if (!SetEndOfFile(handle)) return failWith(handle, GetLastError());
  }
  return new LogFileImpl{handle};
}

bool writeLogFile(LogFileHandle file, const std::string& text) {
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // Text mode: each line feed goes out as CR LF.
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  DWORD written = 0;
  if (!WriteFile(file->handle, out.data(), static_cast<DWORD>(out.size()), &written, nullptr)) {
    return false;
  }
  if (written != out.size()) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

std::size_t logFileLength(const std::string& text) {
  std::size_t length = text.size();
  for (char c : text) length += c == '\n' ? 1 : 0;
  return length;
}

void closeLogFile(LogFileHandle file) {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  delete file;
}

}  // namespace platform

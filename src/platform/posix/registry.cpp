// The registry over one text file. Every call reads the current file (a
// parse is kept while the file stays the same and some key is open), so a
// handle names a key by its path and sees what other processes wrote.
// Writers hold an exclusive flock on registry.lock (never on the data file,
// which rename replaces) from reading to renaming, so concurrent writers
// lose no update; the rename makes each write all-or-nothing.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/posix/registry_tree.h"
#include "platform/posix/state_root.h"

namespace platform {

struct RegKeyImpl {
  // Names as stored; matching ignores case anyway.
  std::vector<std::string> path;
  // The parse it was opened in, kept while the key is open.
  std::shared_ptr<const void> parse;
};

namespace {

using posix::RegTreeKey;

thread_local std::string tlsParseError;

ErrorCode fromErrno(int errnoValue) {
  return static_cast<ErrorCode>(posix::errorFromErrno(errnoValue));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports close's own failure (a late write error).
  int release() {
    const int result = close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int lockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// A reader that cannot create or open the lock file (no state root yet, a
// read-only root) still reads a whole file: writers only ever rename.
int openSharedLock(const std::string& lockPath) {
  const int fd = openRetrying(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
  return fd >= 0 ? fd : openRetrying(lockPath.c_str(), O_RDONLY);
}

ErrorCode readWhole(const std::string& path, std::string& text, bool& exists) {
  text.clear();
  FileDescriptor file(openRetrying(path.c_str(), O_RDONLY));
  if (file.get() < 0) {
    exists = false;
    return errno == ENOENT ? kErrorSuccess : fromErrno(errno);
  }
  exists = true;
  struct stat info {};
  if (fstat(file.get(), &info) == 0 && info.st_size > 0) {
    text.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  while (true) {
    const ssize_t count = read(file.get(), buffer, sizeof buffer);
    if (count == 0) return kErrorSuccess;
    if (count < 0) {
      if (errno == EINTR) continue;
      return fromErrno(errno);
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

// Caller holds a lock. A missing file is an empty tree.
ErrorCode loadTree(const std::string& path, RegTreeKey& root) {
  std::string text;
  bool exists = false;
  if (ErrorCode error = readWhole(path, text, exists); error != kErrorSuccess) return error;
  if (!exists) return kErrorSuccess;
  posix::RegParseError parseError;
  if (!posix::parseRegistryText(text, root, parseError)) {
    tlsParseError = path + ":" + std::to_string(parseError.line) + ": " + parseError.message;
    return kErrorRegistryCorrupt;
  }
  return kErrorSuccess;
}

ErrorCode writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return fromErrno(errno);
    }
    done += static_cast<std::size_t>(count);
  }
  return kErrorSuccess;
}

// Temporary file, fsync, rename over, fsync of the folder: after a crash
// at any moment the file is the old tree or the new one.
ErrorCode replaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  FileDescriptor file(openRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  if (file.get() < 0) return fromErrno(errno);
  ErrorCode error = writeAll(file.get(), text);
  if (error == kErrorSuccess && fsync(file.get()) != 0) error = fromErrno(errno);
  if (file.release() != 0 && error == kErrorSuccess) error = fromErrno(errno);
  if (error == kErrorSuccess && rename(temporary.c_str(), path.c_str()) != 0) {
    error = fromErrno(errno);
  }
  if (error != kErrorSuccess) {
    unlink(temporary.c_str());
    return error;
  }
  FileDescriptor folder(openRetrying(posix::stateRoot().c_str(), O_RDONLY | O_DIRECTORY));
  if (folder.get() >= 0) fsync(folder.get());
  return kErrorSuccess;
}

std::string registryPath() { return posix::stateFile("registry"); }
std::string lockPath() { return posix::stateFile("registry.lock"); }

// What tells one version of the file from another: a write renames a new
// file over it, a hand edit changes its size or times.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileIdentity& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec;
  }
};

FileIdentity identify(const std::string& path) {
  FileIdentity identity;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return identity;
  identity.exists = true;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified = info.st_mtim;
  identity.changed = info.st_ctim;
  return identity;
}

// The last file parsed, kept while it stays the same file and a key opened
// in it is still open: walking a key's values asks for the tree once per
// value, and parsing the whole file each time would make a walk quadratic.
// Once every key is closed the parse goes, so that a process that read its
// settings at start does not hold the whole file for the rest of its life.
struct ParsedFile {
  std::mutex lock;
  std::string path;
  FileIdentity identity;
  std::weak_ptr<RegTreeKey> tree;
};

ParsedFile& parsedFile() {
  static ParsedFile parsed;
  return parsed;
}

// The current file's tree, read under a shared lock. Callers only read it.
ErrorCode readTree(std::shared_ptr<RegTreeKey>& root) {
  tlsParseError.clear();
  FileDescriptor lock(openSharedLock(lockPath()));
  if (lock.get() >= 0 && lockRetrying(lock.get(), LOCK_SH) != 0) return fromErrno(errno);
  const std::string path = registryPath();
  const FileIdentity identity = identify(path);
  ParsedFile& parsed = parsedFile();
  std::lock_guard<std::mutex> guard(parsed.lock);
  if (parsed.path == path && parsed.identity == identity) {
    root = parsed.tree.lock();
    if (root != nullptr) return kErrorSuccess;
  }
  auto tree = std::make_shared<RegTreeKey>("");
  if (ErrorCode error = loadTree(path, *tree); error != kErrorSuccess) return error;
  parsed.path = path;
  parsed.identity = identity;
  parsed.tree = tree;
  root = std::move(tree);
  return kErrorSuccess;
}

// Read-modify-write under the exclusive lock. change(root, changed) edits
// the tree; nothing is written unless it succeeds and sets changed.
template <typename Change>
ErrorCode updateTree(Change change) {
  tlsParseError.clear();
  if (!posix::ensureStateRoot()) return lastError();
  FileDescriptor lock(openRetrying(lockPath().c_str(), O_RDWR | O_CREAT, 0600));
  if (lock.get() < 0) return fromErrno(errno);
  if (lockRetrying(lock.get(), LOCK_EX) != 0) return fromErrno(errno);
  RegTreeKey root("");
  const std::string path = registryPath();
  if (ErrorCode error = loadTree(path, root); error != kErrorSuccess) return error;
  bool changed = false;
  if (ErrorCode error = change(root, changed); error != kErrorSuccess) return error;
  if (!changed) return kErrorSuccess;
  return replaceFile(path, posix::formatRegistryText(root));
}

// "A\B\" -> {A, B}; "" -> {}. Names cannot be empty, hold control
// characters (they would break the file's lines) or be longer than
// Windows allows.
ErrorCode splitSubKey(const std::string& subKey, std::vector<std::string>& names) {
  names.clear();
  std::string::size_type start = 0;
  while (start < subKey.size()) {
    std::string::size_type slash = subKey.find('\\', start);
    if (slash == std::string::npos) slash = subKey.size();
    std::string name = subKey.substr(start, slash - start);
    if (name.empty() || name.size() > 255) return kErrorInvalidParameter;
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 0x20) return kErrorInvalidParameter;
    }
    names.push_back(std::move(name));
    start = slash + 1;
  }
  return kErrorSuccess;
}

RegKeyImpl* rootHandle() {
  static RegKeyImpl root;
  return &root;
}

ErrorCode findOpenKey(RegTreeKey& root, RegKeyHandle handle, RegTreeKey*& key) {
  if (handle == nullptr) return kErrorInvalidHandle;
  key = posix::findKey(root, handle->path);
  return key != nullptr ? kErrorSuccess : kErrorKeyDeleted;
}

}  // namespace

RegKeyHandle localMachine() { return rootHandle(); }

std::string registryLastParseError() { return tlsParseError; }

ErrorCode regOpenKey(RegKeyHandle parent, const std::string& subKey, std::uint32_t /*access*/,
                     RegKeyHandle& result) {
  result = nullptr;
  std::vector<std::string> names;
  if (ErrorCode error = splitSubKey(subKey, names); error != kErrorSuccess) return error;
  std::shared_ptr<RegTreeKey> root;
  if (ErrorCode error = readTree(root); error != kErrorSuccess) return error;
  RegTreeKey* key = nullptr;
  if (ErrorCode error = findOpenKey(*root, parent, key); error != kErrorSuccess) return error;
  auto opened = std::make_unique<RegKeyImpl>(RegKeyImpl{parent->path, root});
  for (const std::string& name : names) {
    key = key->findChild(name);
    if (key == nullptr) return kErrorFileNotFound;
    opened->path.push_back(key->name());
  }
  result = opened.release();
  return kErrorSuccess;
}

ErrorCode regCreateKey(RegKeyHandle parent, const std::string& subKey, RegKeyHandle& result) {
  // Opening an existing key needs no write.
  if (regOpenKey(parent, subKey, kKeyAllAccess, result) == kErrorSuccess) return kErrorSuccess;
  std::vector<std::string> names;
  if (ErrorCode error = splitSubKey(subKey, names); error != kErrorSuccess) return error;
  auto created = std::make_unique<RegKeyImpl>();
  const ErrorCode error = updateTree([&](RegTreeKey& root, bool& changed) {
    RegTreeKey* key = nullptr;
    if (ErrorCode found = findOpenKey(root, parent, key); found != kErrorSuccess) return found;
    created->path = parent->path;
    for (const std::string& name : names) {
      RegTreeKey* child = key->findChild(name);
      if (child == nullptr) {
        child = &key->addChild(name);
        changed = true;
      }
      key = child;
      created->path.push_back(key->name());
    }
    return kErrorSuccess;
  });
  if (error == kErrorSuccess) result = created.release();
  return error;
}

ErrorCode regCloseKey(RegKeyHandle key) {
  if (key == nullptr) return kErrorInvalidHandle;
  if (key != rootHandle()) delete key;
  return kErrorSuccess;
}

ErrorCode regQueryInfoKey(RegKeyHandle handle, std::uint32_t& valueCount,
                          std::uint32_t& maxValueNameLength, std::uint32_t& maxValueDataLength) {
  std::shared_ptr<RegTreeKey> root;
  if (ErrorCode error = readTree(root); error != kErrorSuccess) return error;
  RegTreeKey* key = nullptr;
  if (ErrorCode error = findOpenKey(*root, handle, key); error != kErrorSuccess) return error;
  valueCount = static_cast<std::uint32_t>(key->values().size());
  maxValueNameLength = static_cast<std::uint32_t>(key->longestValueName());
  maxValueDataLength = static_cast<std::uint32_t>(key->longestValueData());
  return kErrorSuccess;
}

ErrorCode regEnumValue(RegKeyHandle handle, std::uint32_t index, std::string& name) {
  std::shared_ptr<RegTreeKey> root;
  if (ErrorCode error = readTree(root); error != kErrorSuccess) return error;
  RegTreeKey* key = nullptr;
  if (ErrorCode error = findOpenKey(*root, handle, key); error != kErrorSuccess) return error;
  if (index >= key->values().size()) return kErrorNoMoreItems;
  name = key->values()[index].name;
  return kErrorSuccess;
}

ErrorCode regEnumKey(RegKeyHandle handle, std::uint32_t index, std::string& name) {
  std::shared_ptr<RegTreeKey> root;
  if (ErrorCode error = readTree(root); error != kErrorSuccess) return error;
  RegTreeKey* key = nullptr;
  if (ErrorCode error = findOpenKey(*root, handle, key); error != kErrorSuccess) return error;
  if (index >= key->children().size()) return kErrorNoMoreItems;
  name = key->children()[index]->name();
  return kErrorSuccess;
}

ErrorCode regQueryValue(RegKeyHandle handle, const std::string& name, std::uint32_t* type,
                        void* data, std::uint32_t* dataSize) {
  if (data != nullptr && dataSize == nullptr) return kErrorInvalidParameter;
  std::shared_ptr<RegTreeKey> root;
  if (ErrorCode error = readTree(root); error != kErrorSuccess) return error;
  RegTreeKey* key = nullptr;
  if (ErrorCode error = findOpenKey(*root, handle, key); error != kErrorSuccess) return error;
  const posix::RegTreeValue* value = key->findValue(name);
  if (value == nullptr) return kErrorFileNotFound;
  if (type != nullptr) *type = value->type;
  if (dataSize == nullptr) return kErrorSuccess;
  const auto size = static_cast<std::uint32_t>(value->data.size());
  const std::uint32_t room = *dataSize;
  *dataSize = size;
  if (data == nullptr) return kErrorSuccess;
  if (room < size) return kErrorMoreData;
  if (size > 0) std::memcpy(data, value->data.data(), size);
  return kErrorSuccess;
}

ErrorCode regSetValue(RegKeyHandle handle, const std::string& name, std::uint32_t type,
                      const void* data, std::uint32_t dataSize) {
  if (data == nullptr && dataSize != 0) return kErrorInvalidParameter;
  std::string bytes;
  if (dataSize != 0) bytes.assign(static_cast<const char*>(data), dataSize);
  return updateTree([&](RegTreeKey& root, bool& changed) {
    RegTreeKey* key = nullptr;
    if (ErrorCode error = findOpenKey(root, handle, key); error != kErrorSuccess) return error;
    key->setValue(name, type, std::move(bytes));
    changed = true;
    return kErrorSuccess;
  });
}

ErrorCode regDeleteValue(RegKeyHandle handle, const std::string& name) {
  return updateTree([&](RegTreeKey& root, bool& changed) {
    RegTreeKey* key = nullptr;
    if (ErrorCode error = findOpenKey(root, handle, key); error != kErrorSuccess) return error;
    if (!key->removeValue(name)) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

ErrorCode regDeleteTree(RegKeyHandle parent, const std::string& subKey) {
  std::vector<std::string> names;
  if (ErrorCode error = splitSubKey(subKey, names); error != kErrorSuccess) return error;
  // Never the key itself through an empty path.
  if (names.empty()) return kErrorInvalidParameter;
  return updateTree([&](RegTreeKey& root, bool& changed) {
    RegTreeKey* key = nullptr;
    if (ErrorCode error = findOpenKey(root, parent, key); error != kErrorSuccess) return error;
    for (std::size_t i = 0; i + 1 < names.size() && key != nullptr; ++i) {
      key = key->findChild(names[i]);
    }
    if (key == nullptr || !key->removeChild(names.back())) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

}  // namespace platform

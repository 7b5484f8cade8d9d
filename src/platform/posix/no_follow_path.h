// Paths walked one folder at a time without following a symbolic link.
//
// The daemon runs as root and writes its logs into folders that others may
// be able to change. A link anywhere on such a path could send a write (or
// a folder being made) to a place of another account's choosing, so each
// step is opened with O_NOFOLLOW, relative to the folder before it, and a
// link at any step is refused with ELOOP. Folders reached this way are
// held open, so nothing renamed behind the walk can redirect it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace platform::posix {

// An O_PATH descriptor of the folder at path (absolute, or relative to the
// current folder), or -1 with errno set: ELOOP for a link at any step,
// ENOENT or ENOTDIR for a step that is missing or no folder. With a mode,
// missing folders are made with it (less the umask); with 0 none are made.
int openFolderNoFollow(const std::string& path, mode_t createMode);

// One step below an open folder, as above; "." and ".." are steps too, and
// an empty name is the folder itself. The folder given is closed (errno
// kept), so steps chain; given -1 it returns -1 and leaves errno alone.
int stepIntoFolderNoFollow(int folder, const std::string& name, mode_t createMode);

// The last component of a path and the folder it lives in ("." when the
// path has no folder; "/" for a file right below the root).
std::string folderOf(const std::string& path);
std::string lastComponentOf(const std::string& path);

// Opens a file of the folder with O_NOFOLLOW and O_CLOEXEC added to flags,
// then refuses what a privileged writer must not trust: anything but a
// regular file or (when allowed) a character device, and a regular file
// with a second name or of another account than the effective one. The
// write bits of group and others are taken off a regular file, so no one
// else adds to it. Nothing is emptied here: flags must not hold O_TRUNC.
// -1 on failure with the last error set (1921 for a link, 1920 for a
// refused file); info is the open file's.
int openOwnFileNoFollow(int folder, const std::string& name, int flags, mode_t createMode,
                        bool allowCharacterDevice, struct stat& info);

}  // namespace platform::posix

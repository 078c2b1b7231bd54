// Write aside, sync, rename, sync the directory; and whole-line appends.
#include "state/durable.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace armctl {

bool sync_directory(const state_dir& dir) {
  // EINVAL: the file system cannot sync a directory (some network and FUSE
  // ones); EROFS: it is mounted read-only, where a rename cannot have
  // happened either. Either way the rename is as durable as it can be made,
  // and failing the save would only report a fault nobody can fix.
  return ::fsync(dir.fd()) == 0 || errno == EINVAL || errno == EROFS;
}

replace_result finish_replace(const state_dir& dir, int fd, const char* temp, const char* name) {
  const bool synced = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed || ::renameat(dir.fd(), temp, dir.fd(), name) != 0) {
    ::unlinkat(dir.fd(), temp, 0);
    return replace_result::failed;
  }
  return sync_directory(dir) ? replace_result::replaced : replace_result::replaced_not_synced;
}

replace_result replace_file(const state_dir& dir, const char* name, const char* temp,
                            std::string_view text, mode_t mode, sync_now sync) {
  // Left by a writer killed between creating and renaming it.
  ::unlinkat(dir.fd(), temp, 0);
  const int fd =
      ::openat(dir.fd(), temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return replace_result::failed;
  if (!write_all(fd, text) || ::fchmod(fd, mode) != 0) {
    ::close(fd);
    ::unlinkat(dir.fd(), temp, 0);
    return replace_result::failed;
  }
  if (sync == sync_now::yes) return finish_replace(dir, fd, temp, name);
  if (::close(fd) == 0 && ::renameat(dir.fd(), temp, dir.fd(), name) == 0)
    return replace_result::replaced_not_synced;
  ::unlinkat(dir.fd(), temp, 0);
  return replace_result::failed;
}

bool sync_file(const state_dir& dir, const char* name) {
  const int fd = dir.open_regular(name, O_RDONLY);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced && sync_directory(dir);
}

bool remove_file(const state_dir& dir, const char* name) {
  if (::unlinkat(dir.fd(), name, 0) != 0 && errno != ENOENT) return false;
  return sync_directory(dir);
}

bool append_synced(int fd, std::string_view text) {
  // One write: with O_APPEND the kernel places it whole at the end.
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
         ::fsync(fd) == 0;
}

bool append_line(const state_dir& dir, const char* name, std::string_view line, mode_t mode) {
  const int fd = dir.open_regular(name, O_WRONLY | O_CREAT | O_APPEND, mode);
  if (fd < 0) return false;
  // A file an earlier release created with other bits gets these ones.
  const bool appended = ::fchmod(fd, mode) == 0 && append_synced(fd, line);
  return ::close(fd) == 0 && appended;
}

}  // namespace armctl

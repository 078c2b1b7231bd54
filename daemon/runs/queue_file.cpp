// The queue file: one 16-byte record per place, "<pid>\n" padded with
// spaces (0 while the run is being started), under a byte-range lock.
#include "daemon/runs/queue_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

namespace armctl {
namespace {

constexpr std::size_t record_bytes = 16;

struct flock place_range(std::size_t index, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(index * record_bytes);
  fl.l_len = static_cast<off_t>(record_bytes);
  return fl;
}

int open_queue(const state_dir& dir) {
  return dir.open_regular(queue_file_name, O_RDWR | O_CREAT, front_file_mode);
}

bool taken_by_another(int fd, std::size_t index) {
  struct flock probe = place_range(index, F_WRLCK);
  return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The record's pid, parsed with a bound: a number that does not fit a pid_t
// is no pid.
std::optional<pid_t> recorded_pid(int fd, std::size_t index) {
  char buf[record_bytes];
  const ssize_t got = ::pread(fd, buf, sizeof buf, static_cast<off_t>(index * record_bytes));
  if (got <= 0) return std::nullopt;
  std::string_view text(buf, static_cast<std::size_t>(got));
  while (text.starts_with(' ')) text.remove_prefix(1);
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc{} || pid <= 0 || end == text.data() + text.size() || *end != '\n')
    return std::nullopt;
  return pid;
}

bool write_record(int fd, std::size_t index, pid_t pid) {
  char buf[record_bytes + 1];
  std::snprintf(buf, sizeof buf, "%15d\n", static_cast<int>(pid));
  return ::pwrite(fd, buf, record_bytes, static_cast<off_t>(index * record_bytes)) ==
         static_cast<ssize_t>(record_bytes);
}

}  // namespace

std::optional<queue_place> queue_place::take(const state_dir& dir, std::size_t places) {
  const int fd = open_queue(dir);
  if (fd < 0) return std::nullopt;
  for (std::size_t i = 0; i < places && i < max_places; ++i) {
    struct flock want = place_range(i, F_WRLCK);
    // A place whose 0 cannot be written may still name an earlier run,
    // which a STOP would then end: the queue is not usable.
    if (::fcntl(fd, F_OFD_SETLK, &want) == 0) {
      if (write_record(fd, i, 0)) return queue_place(fd, i);
      break;
    }
    if (errno != EAGAIN && errno != EACCES) break;
  }
  ::close(fd);
  return std::nullopt;
}

queue_place::queue_place(queue_place&& other) noexcept : fd_(other.fd_), index_(other.index_) {
  other.fd_ = -1;
}

queue_place::~queue_place() {
  if (fd_ >= 0) ::close(fd_);
}

bool queue_place::record(pid_t run) const { return write_record(fd_, index_, run); }

void queue_place::leave() const {
  // A record is read only while its place is taken, and a taker writes its
  // own 0 first: a pid left here by a failed write is not read as waiting.
  (void)write_record(fd_, index_, 0);
  struct flock free = place_range(index_, F_UNLCK);
  ::fcntl(fd_, F_OFD_SETLK, &free);
}

std::vector<waiting_run> waiting_runs(const state_dir& dir) {
  std::vector<waiting_run> runs;
  const int fd = open_queue(dir);
  if (fd < 0) return runs;
  for (std::size_t i = 0; i < max_places; ++i)
    if (taken_by_another(fd, i))
      if (const auto pid = recorded_pid(fd, i)) runs.push_back({i, *pid});
  ::close(fd);
  return runs;
}

bool still_waiting(const state_dir& dir, const waiting_run& r) {
  const int fd = open_queue(dir);
  if (fd < 0) return false;
  const bool same = taken_by_another(fd, r.place) && recorded_pid(fd, r.place) == r.pid;
  ::close(fd);
  return same;
}

}  // namespace armctl

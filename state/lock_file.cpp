// Waiting for, taking and releasing the shared lock file.
#include "state/lock_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "state/scan.hpp"

// glibc before 2.41 names the thread of a SIGEV_THREAD_ID event only by
// its inner field.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace armctl {
namespace {

// A lock file is two bytes; this bounds what a damaged or hostile one costs.
constexpr std::size_t max_lock_file = 4096;
// While a writer holds the kernel lock, how often a waiting run looks whether
// a reader's read lock has slipped in, which would block it for good.
constexpr long squat_check_us = 250000;

void sleep_for(std::chrono::nanoseconds span) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(span);
  timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((span - secs).count())};
  // A signal that ends the run never returns here; any other one just
  // shortens this poll.
  ::nanosleep(&ts, nullptr);
}

extern "C" void on_wake_up(int) {}

// The handler that does nothing, held while any thread's timer lives: the
// first timer installs it, the last one gives the process its own
// disposition of SIGALRM back, so that one thread's timer never ends while
// another's may still fire into the default action.
class wake_up_handler {
 public:
  wake_up_handler() {
    const std::lock_guard<std::mutex> hold(m());
    if (users()++ > 0) return;
    struct sigaction action {};
    action.sa_handler = on_wake_up;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the lock request must return EINTR
    ::sigaction(SIGALRM, &action, &previous());
  }
  ~wake_up_handler() {
    const std::lock_guard<std::mutex> hold(m());
    if (--users() == 0) ::sigaction(SIGALRM, &previous(), nullptr);
  }
  wake_up_handler(const wake_up_handler&) = delete;
  wake_up_handler& operator=(const wake_up_handler&) = delete;

 private:
  static std::mutex& m() {
    static std::mutex held;
    return held;
  }
  static int& users() {
    static int n = 0;
    return n;
  }
  static struct sigaction& previous() {
    static struct sigaction kept {};
    return kept;
  }
};

// Interrupts a blocked lock request of this thread after `us`. Its signal
// only needs to interrupt, so it gets a handler that does nothing, for the
// timer's life only (wake_up_handler). The timer signals this thread alone,
// whatever other threads the process has.
class wake_up_timer {
 public:
  explicit wake_up_timer(long us) {
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = SIGALRM;
    ev.sigev_notify_thread_id = ::gettid();
    armed_ = ::timer_create(CLOCK_MONOTONIC, &ev, &id_) == 0;
    const itimerspec when{{0, 0}, {us / 1000000, (us % 1000000) * 1000}};
    if (armed_ && ::timer_settime(id_, 0, &when, nullptr) != 0) {
      ::timer_delete(id_);
      armed_ = false;
    }
  }
  ~wake_up_timer() {
    if (armed_) ::timer_delete(id_);
  }
  wake_up_timer(const wake_up_timer&) = delete;
  wake_up_timer& operator=(const wake_up_timer&) = delete;
  bool armed() const { return armed_; }

 private:
  wake_up_handler handler_;
  timer_t id_{};
  bool armed_ = false;
};

struct flock whole_file(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return fl;  // l_start 0, l_len 0: the whole file, however long
}

// The kernel write lock. Runs of ours only ever take write locks, so a
// conflicting read lock is a reader squatting on the file: the lock cannot
// be had, and the run must not wait for it.
bool lock_exclusively(int fd) {
  for (;;) {
    struct flock want = whole_file(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &want) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    struct flock probe = whole_file(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
    if (probe.l_type == F_RDLCK) return false;
    if (probe.l_type == F_UNLCK) continue;
    const wake_up_timer timer(squat_check_us);
    if (!timer.armed()) {
      // No timer to be had: look again after a short while instead.
      sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    want = whole_file(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLKW, &want) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

const std::string& boot_id() {
  static const std::string id = [] {
    std::string text;
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    // Unreadable, the id stays empty, which judge_stale takes as unknown.
    if (fd >= 0) {
      if (!read_all(fd, text, 64)) text.clear();
      ::close(fd);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }();
  return id;
}

namespace {

// The next space-separated field of `text`, advancing past it.
std::string_view next_field(std::string_view& text) {
  while (text.starts_with(' ')) text.remove_prefix(1);
  const std::size_t end = std::min(text.find(' '), text.size());
  const std::string_view field = text.substr(0, end);
  text.remove_prefix(end);
  return field;
}

template <typename T>
bool whole_number(std::string_view field, T& out) {
  const char* end = field.data() + field.size();
  const auto [at, err] = std::from_chars(field.data(), end, out);
  return err == std::errc{} && at == end;
}

}  // namespace

namespace {

// "<s>.<ns>" as the marks write it (nanoseconds below a second).
std::optional<wall_time> parse_stamp(std::string_view stamp) {
  wall_time t;
  const std::size_t dot = stamp.find('.');
  if (dot == std::string_view::npos || !whole_number(stamp.substr(0, dot), t.s) ||
      !whole_number(stamp.substr(dot + 1), t.ns) || t.ns < 0 || t.ns >= 1000000000)
    return std::nullopt;
  return t;
}

}  // namespace

bool parse_mark(const std::string& text, holder_mark& out) {
  std::string_view rest(text);
  holder_mark m;
  const std::string_view pid = next_field(rest), state = next_field(rest);
  m.boot = next_field(rest);
  m.held = state == "held";
  // A pid that does not fit a pid_t is no pid (from_chars refuses it).
  if (!whole_number(pid, m.pid) || m.pid <= 0 || (!m.held && state != "taking") || m.boot.empty())
    return false;
  // A held mark's stamp is its "1"'s mtime. A taking mark's is when it was
  // set; one of an older release has none, and its next field, if any, is
  // the start time, which never holds a dot.
  std::string_view probe = rest;
  if (const std::string_view stamp = next_field(probe);
      m.held || stamp.find('.') != std::string_view::npos) {
    const std::optional<wall_time> t = parse_stamp(stamp);
    if (!t) return false;
    if (m.held) {
      m.mtime_s = t->s;
      m.mtime_ns = t->ns;
    } else {
      m.marked_at = t;
    }
    rest = probe;
  }
  // The start time is the last field; an older release's mark ends before it.
  if (const std::string_view start = next_field(rest); !start.empty()) {
    unsigned long long ticks = 0;
    if (!whole_number(start, ticks)) return false;
    m.start = ticks;
  }
  if (!next_field(rest).empty()) return false;
  out = m;
  return true;
}

std::optional<unsigned long long> start_time_in_stat(std::string_view stat) {
  // The name ends at the last ')': nothing after it can hold one.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || stat.find('(') > close) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // Field 3 (the state) comes right after the name; the start time is 22.
  constexpr int fields_to_start = 22 - 3;
  for (int i = 0; i < fields_to_start; ++i)
    if (next_field(rest).empty()) return std::nullopt;
  std::string_view start = next_field(rest);
  while (start.ends_with('\n')) start.remove_suffix(1);
  unsigned long long ticks = 0;
  if (!whole_number(start, ticks)) return std::nullopt;
  return ticks;
}

std::optional<unsigned long long> process_start_time(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  // A name is at most 64 bytes; the 52 numbers after it fit well within.
  const bool read = read_all(fd, text, 2048);
  ::close(fd);
  return read ? start_time_in_stat(text) : std::nullopt;
}

namespace {

// A taking mark's run writes its "1" right after the sync that makes the
// mark durable, so the "1"'s mtime falls within that sync's time after the
// mark's. A sync of the lock file takes milliseconds (docs/measurements.md);
// two seconds leave a slow disk room, and keep short the time in which
// another program's "1", written after a run died before its own, could be
// taken for that run's. The file's clock may read a little before the
// mark's: it ticks coarser than the clock the mark is dated by, and a file
// system that keeps whole seconds rounds down.
constexpr long long one_after_mark_within_ns = 2'000'000'000;
constexpr long long one_before_mark_within_ns = 1'000'000'000;

// Whether `file` falls within the bounds around a taking mark's time `mark`.
// A hostile stamp far from any real time cannot overflow the arithmetic.
bool dates_the_takes_one(wall_time mark, wall_time file) {
  constexpr long long ns_per_s = 1'000'000'000;
  constexpr long long far = 1000;  // seconds: beyond both bounds
  long long apart_s = 0;
  if (__builtin_sub_overflow(file.s, mark.s, &apart_s) || apart_s > far || apart_s < -far)
    return false;
  const long long after = apart_s * ns_per_s + (file.ns - mark.ns);
  return after <= one_after_mark_within_ns && after >= -one_before_mark_within_ns;
}

}  // namespace

stale_cause judge_cause(const holder_mark* mark, wall_time file_mtime,
                        const std::string& this_boot) {
  if (mark == nullptr) return stale_cause::unknown;
  const bool earlier_boot = !this_boot.empty() && !mark->boot.empty() && mark->boot != this_boot;
  if (mark->held) {
    if (mark->mtime_s != file_mtime.s || mark->mtime_ns != file_mtime.ns)
      return stale_cause::unknown;
    return earlier_boot ? stale_cause::boot_ended_holding : stale_cause::killed_holding;
  }
  if (earlier_boot) return stale_cause::boot_ended_taking;
  // An unknown boot id (/proc unreadable) is no proof of this boot either.
  const bool this_one = !this_boot.empty() && mark->boot == this_boot;
  return this_one && mark->marked_at && dates_the_takes_one(*mark->marked_at, file_mtime)
             ? stale_cause::killed_taking
             : stale_cause::unknown;
}

stale_verdict judge_stale(const holder_mark* mark, long long file_mtime_s, long long file_mtime_ns,
                          const std::string& this_boot) {
  return judge_cause(mark, {file_mtime_s, file_mtime_ns}, this_boot) == stale_cause::unknown
             ? stale_verdict::honour
             : stale_verdict::take_over;
}

const char* cause_words(stale_cause cause) {
  // In the order of stale_cause.
  static constexpr std::array<const char*, 5> words = {
      "not known",
      "killed while it held the lock",
      "killed as it took the lock",
      "the machine went down while it held the lock",
      "the machine went down as it took the lock",
  };
  return words.at(static_cast<std::size_t>(cause));
}

bool content_reads_free(std::string_view text, bool truncated) {
  const scan_result r = scan_int(text);
  if (r.kind == scanned::no_number) return !truncated || !text.empty();
  // Digits that run to the end of what was read may go on beyond it.
  if (truncated && text.empty()) return false;
  return r.kind == scanned::number && r.value == 0;
}

namespace {

// " <start>", the mark's last field, for this process; empty when /proc
// cannot tell (the mark is then an older release's, judged as before).
const std::string& own_start_field() {
  static const std::string field = [] {
    const auto start = process_start_time(::getpid());
    // Appended, not built with operator+: GCC 12 at -O3 takes that for an
    // overlapping copy and fails the -Werror builds.
    std::string text;
    if (start) text.append(" ").append(std::to_string(*start));
    return text;
  }();
  return field;
}

}  // namespace

lock_file::lock_file(const state_dir& dir, std::chrono::nanoseconds poll, int (*sync)(int))
    : dir_(dir), poll_(poll), sync_(sync) {
  boot_id();  // read while a descriptor is surely free
  own_start_field();
}

lock_file::~lock_file() { close_file(); }

void lock_file::close_file() {
  if (fd_ >= 0) ::close(fd_);  // also lets go of the kernel lock
  fd_ = -1;
}

bool lock_file::wait() {
  for (;;) {
    if (!hold_current_file()) return false;
    if (reads_free()) return true;
    sleep_for(poll_);
  }
}

// Holds the kernel lock on the file that the name refers to now. A missing
// file is created (empty, which reads as free) so that there is an inode to
// lock; the take then writes its "1\n".
bool lock_file::hold_current_file() {
  if (fd_ >= 0 && still_current()) return true;
  close_file();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fd_ = dir_.open_regular(lock_file_name, O_RDWR | O_CREAT);
    if (fd_ < 0) return false;
    if (!lock_exclusively(fd_)) {
      close_file();
      return false;
    }
    // The file may have been removed or replaced while we waited for it.
    if (still_current()) return true;
    close_file();
  }
  return false;
}

bool lock_file::still_current() const {
  struct stat held {
  }, named{};
  return ::fstat(fd_, &held) == 0 &&
         ::fstatat(dir_.fd(), lock_file_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool lock_file::reads_free() {
  took_over_.reset();
  std::string text(max_lock_file + 1, '\0');
  const ssize_t got = ::pread(fd_, text.data(), text.size(), 0);
  if (got < 0) return false;
  const auto size = static_cast<std::size_t>(got);
  text.resize(std::min(size, max_lock_file));
  return content_reads_free(text, size > max_lock_file) || left_by_a_dead_run();
}

bool lock_file::left_by_a_dead_run() {
  char buf[160];
  const ssize_t got = ::fgetxattr(fd_, holder_mark_name, buf, sizeof buf - 1);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  holder_mark mark;
  const bool marked = got > 0 && parse_mark(std::string(buf, static_cast<std::size_t>(got)), mark);
  const stale_cause cause =
      judge_cause(marked ? &mark : nullptr, {st.st_mtim.tv_sec, st.st_mtim.tv_nsec}, boot_id());
  if (cause == stale_cause::unknown) return false;
  took_over_ = takeover{mark.pid, cause};
  return true;
}

// Replaces the two-byte content in place: readers never see an empty file.
bool lock_file::write_content(const char* text) const {
  return fd_ >= 0 && ::pwrite(fd_, text, 2, 0) == 2 && ::ftruncate(fd_, 2) == 0;
}

bool lock_file::durable() const { return sync_(fd_) == 0; }

// File systems without user extended attributes keep the plain protocol.
void lock_file::set_mark(const std::string& value) {
  if (marks_ && ::fsetxattr(fd_, holder_mark_name, value.data(), value.size(), 0) != 0)
    marks_ = false;
}

namespace {

// "<pid> <state> <boot id>", the part of the mark that is known before the "1".
std::string mark_prefix(const char* state) {
  return std::to_string(::getpid()) + " " + state + " " + boot_id();
}

// " <s>.<ns>", the form both marks give a time in.
std::string stamp_field(long long s, long n) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, " %lld.%09ld", s, n);
  return stamp;
}

// The taking mark: the prefix, the time it is set and the start time. On
// the clock the file's timestamps come from, so that the "1" written after
// it can be dated against it.
std::string taking_mark() {
  timespec now{};
  const std::string stamp = ::clock_gettime(CLOCK_REALTIME, &now) == 0
                                ? stamp_field(now.tv_sec, now.tv_nsec)
                                : std::string();
  return mark_prefix("taking") + stamp + own_start_field();
}

// The held mark: the prefix, the modification time of the "1" just written
// and the start time.
std::string held_mark(const std::string& prefix, int fd) {
  struct stat st {};
  const std::string stamp =
      ::fstat(fd, &st) == 0 ? stamp_field(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) : std::string();
  return prefix + stamp + own_start_field();
}

// Cuts a longer content to two bytes: a prefix of a free content still reads
// free, and the "1" then is one short write. A shorter one is left for the
// write to extend (no NUL bytes).
bool cut_to_two_bytes(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && (st.st_size <= 2 || ::ftruncate(fd, 2) == 0);
}

}  // namespace

bool lock_file::take() {
  if (fd_ < 0) return false;
  const bool cut = cut_to_two_bytes(fd_);
  set_mark(taking_mark());
  const std::string held = mark_prefix("held");
  // The mark is on disk before the "1" can be. Nothing that can wait (a
  // sync) comes between the "1" and the mark that claims it, so a kill
  // leaves an unclaimed "1" only in the microseconds of one write and one
  // attribute write; the sync after makes both durable at once.
  if (cut && durable() && ::pwrite(fd_, "1\n", 2, 0) == 2) {
    set_mark(held_mark(held, fd_));
    if (durable()) return true;
  }
  // A write cut short (a file-size limit) or not made durable may have left
  // a "1": the lock was free, and must stay so. The take has failed either
  // way; a "0" that cannot be made durable keeps the mark that claims it.
  (void)write_zero();
  return false;
}

// The mark comes off only once the "0" is on disk: a "0" that could not be
// made durable keeps it, so that a power cut bringing back the "1" finds it
// claimed.
bool lock_file::write_zero() {
  const bool ok = write_content("0\n") && durable();
  // A mark that will not come off sits on a "0", which reads free whatever
  // it says: the release has done its part.
  if (ok && marks_) (void)::fremovexattr(fd_, holder_mark_name);
  return ok;
}

bool lock_file::release() {
  const bool ok = fd_ >= 0 && write_zero();
  close_file();
  return ok;
}

}  // namespace armctl

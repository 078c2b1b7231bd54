// Reading a run's start between its load and its save.
#include "daemon/runs/run_start.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "daemon/runs/lock_holder.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"

namespace armctl {
namespace {

std::optional<holder> held_by(const char* state_dir, pid_t run) {
  auto h = lock_holder(state_dir);
  if (!h || h->mark.pid != run || !h->mark.held) return std::nullopt;
  return h;
}

std::optional<ino_t> pending_save_file(const state_dir& dir) {
  struct stat st {};
  if (::fstatat(dir.fd(), position_temp_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st.st_ino;
}

}  // namespace

std::optional<counters> counters_under_hold(const char* state_dir, pid_t run) {
  const auto mark = held_by(state_dir, run);
  if (!mark) return std::nullopt;
  const armctl::state_dir dir(state_dir);
  const auto aside = pending_save_file(dir);
  if (!aside) return std::nullopt;
  counters c{};
  if (!load_counters(dir, c)) return std::nullopt;
  // Only the holder creates and renames the temporary file, once a hold:
  // the same one after the read means that the save had not happened yet.
  if (pending_save_file(dir) != aside) return std::nullopt;
  const auto still = held_by(state_dir, run);
  if (!still || still->text != mark->text) return std::nullopt;
  return c;
}

}  // namespace armctl

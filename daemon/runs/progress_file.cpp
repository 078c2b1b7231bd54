// The progress file: "<pid> <start time>\n" naming its writer, then the payload.
#include "daemon/runs/progress_file.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "state/durable.hpp"
#include "daemon/stores/locked_file.hpp"

namespace armctl {
namespace {

constexpr std::size_t max_progress_bytes = std::size_t{64} * 1024;

// A process as "<pid> <start time in clock ticks since boot>", from
// /proc/<pid>/stat; empty when there is no such process. The start time
// tells a process apart from a later one that got the same id.
std::string identity_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return {};
  const std::size_t end_of_name = stat.rfind(") ");
  if (end_of_name == std::string::npos) return {};
  std::istringstream fields(stat.substr(end_of_name + 2));
  std::string field;
  // The start time is field 22; the fields after the name begin at 3.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return fields ? std::to_string(pid) + " " + field : std::string();
}

std::string own_identity() { return identity_of(::getpid()); }

// The writer's identity and the payload of the file, if it is there.
std::optional<std::pair<std::string, std::string>> read_file(const state_dir& dir) {
  const file_text f = read_state_file(dir, progress_file_name, max_progress_bytes);
  if (!f.exists || f.failed) return std::nullopt;
  const std::size_t nl = f.text.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  return std::make_pair(f.text.substr(0, nl), f.text.substr(nl + 1));
}

}  // namespace

bool write_progress(const state_dir& dir, std::string_view payload) {
  const std::string owner = own_identity();
  if (owner.empty()) return false;
  const std::string temp = std::string(".") + progress_file_name + "." + std::to_string(::getpid());
  return replace_file(dir, progress_file_name, temp.c_str(), owner + "\n" + std::string(payload),
                      0600, sync_now::no) != replace_result::failed;
}

std::optional<std::string> read_progress(const state_dir& dir) {
  const auto file = read_file(dir);
  if (!file) return std::nullopt;
  const pid_t pid = static_cast<pid_t>(std::strtol(file->first.c_str(), nullptr, 10));
  if (pid <= 0 || identity_of(pid) != file->first) return std::nullopt;
  return file->second;
}

void remove_progress(const state_dir& dir) {
  const auto file = read_file(dir);
  if (file && file->first == own_identity()) ::unlinkat(dir.fd(), progress_file_name, 0);
}

}  // namespace armctl

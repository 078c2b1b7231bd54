// Reading, writing and clearing the latch file.
#include "cgi/latch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <nlohmann/json.hpp>

namespace armctl::cgi {
namespace {

using json = nlohmann::json;
constexpr std::size_t max_latch_bytes = 4096;

std::string temp_name() {
  return std::string(".") + latch_file_name + "." + std::to_string(::getpid());
}

bool sync_dir(const state_dir& dir) { return ::fsync(dir.fd()) == 0 || errno == EINVAL; }

}  // namespace

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  ::gmtime_r(&now, &t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

std::optional<latch> read_latch(const state_dir& dir) {
  const int fd = dir.open_regular(latch_file_name, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    return latch{"", ""};
  }
  std::string text;
  const bool read = read_all(fd, text, max_latch_bytes);
  ::close(fd);
  const json j = json::parse(text, nullptr, false);
  if (!read || !j.is_object()) return latch{"", ""};
  return latch{j.value("by", ""), j.value("at", "")};
}

bool set_latch(const state_dir& dir, const std::string& by) {
  if (read_latch(dir)) return true;
  const std::string temp = temp_name();
  ::unlinkat(dir.fd(), temp.c_str(), 0);
  const int fd =
      ::openat(dir.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string text = json{{"by", by}, {"at", utc_now()}}.dump() + "\n";
  const bool written = write_all(fd, text);
  ::close(fd);
  if (!written || ::renameat(dir.fd(), temp.c_str(), dir.fd(), latch_file_name) != 0) {
    ::unlinkat(dir.fd(), temp.c_str(), 0);
    return false;
  }
  return true;
}

bool sync_latch(const state_dir& dir) {
  const int fd = dir.open_regular(latch_file_name, O_RDONLY);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced && sync_dir(dir);
}

bool clear_latch(const state_dir& dir) {
  if (::unlinkat(dir.fd(), latch_file_name, 0) != 0 && errno != ENOENT) return false;
  return sync_dir(dir);
}

}  // namespace armctl::cgi

// The latch file's JSON: who stopped the arm and when.
#include "daemon/stores/latch.hpp"
#include "daemon/stores/front_files.hpp"

#include <unistd.h>

#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "daemon/stores/locked_file.hpp"
#include "daemon/stores/records_json.hpp"
#include "state/durable.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;
constexpr std::size_t max_latch_bytes = 4096;

// STOPs of the daemon's threads latch one at a time, so that the first is
// kept and one temporary name serves them all.
std::mutex latch_writes;

std::string temp_name() { return std::string(".") + latch_file_name + ".tmp"; }

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
  const file_text f = read_state_file(dir, latch_file_name, max_latch_bytes);
  if (!f.exists && !f.failed) return std::nullopt;
  const json j = json::parse(f.text, nullptr, false);
  if (f.failed || !j.is_object()) return latch{"", ""};
  return latch{j.value("by", ""), j.value("at", ""), j.value("from", "")};
}

latching set_latch(const state_dir& dir, const std::string& by, const std::string& from) {
  const std::lock_guard<std::mutex> one_at_a_time(latch_writes);
  if (auto kept = read_latch(dir)) return {true, true, std::move(*kept)};
  latch fresh{by, utc_now(), from};
  // A name that is not UTF-8 is no reason for a STOP to fail.
  const std::string text =
      line_text(json{{"by", fresh.by}, {"at", fresh.at}, {"from", fresh.from}}) + "\n";
  const std::string temp = temp_name();
  const bool ok = replace_file(dir, latch_file_name, temp.c_str(), text, front_file_mode,
                               sync_now::no) != replace_result::failed;
  return {ok, false, std::move(fresh)};
}

bool sync_latch(const state_dir& dir) {
  const std::lock_guard<std::mutex> one_at_a_time(latch_writes);
  const file_text f = read_state_file(dir, latch_file_name, max_latch_bytes);
  if (!f.exists && !f.failed) return true;
  return sync_file(dir, latch_file_name);
}

bool clear_latch(const state_dir& dir) {
  const std::lock_guard<std::mutex> one_at_a_time(latch_writes);
  return remove_file(dir, latch_file_name);
}

}  // namespace armctl::front

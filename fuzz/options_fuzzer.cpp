// Fuzzes a whole run through its command line: each input is an argv, its
// arguments separated by NUL bytes, run in-process against a scratch state
// directory that starts every input with the arm at rest (all counters 0,
// lock free) and a port that records the bytes. After each run the port
// bytes, the state files and the exit status must still be what the arm and
// its caller rely on.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.hpp"
#include "driver/signals.hpp"
#include "motor/port.hpp"
#include "state/position_file.hpp"

namespace {

// A long move takes long even without delays; a termination signal is the
// arm's own way to cut it short, so the port raises one after this many writes.
constexpr std::size_t write_budget = 20000;
constexpr std::size_t max_args = 24;
constexpr std::size_t max_arg_length = 64;

class recording_port final : public armctl::port {
 public:
  bool grant() override { return true; }
  bool drop() override { return true; }
  void write(std::uint8_t value) override {
    bytes_.push_back(value);
    if (bytes_.size() == write_budget) armctl::stop_signal = SIGTERM;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::string scratch;

std::string path_of(const char* name) { return scratch + "/" + name; }

void put(const char* name, const char* text) {
  std::ofstream(path_of(name), std::ios::trunc) << text;
}

std::string get(const char* name) {
  std::ifstream in(path_of(name));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void remove_scratch() {
  for (const char* name : {"lock.dat", "robot_position.dat"}) ::unlink(path_of(name).c_str());
  ::rmdir(scratch.c_str());
}

[[noreturn]] void fail(const char* what, const std::vector<std::string>& args) {
  std::fprintf(stderr, "%s; argv:", what);
  for (const std::string& a : args) std::fprintf(stderr, " [%s]", a.c_str());
  std::fprintf(stderr, "\n");
  std::abort();
}

// Every write cycle is a pattern with the strobe bit clear, then the same
// pattern with it set.
bool whole_cycles(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < bytes.size(); i += 2)
    if ((bytes[i] & 1) != 0 || bytes[i + 1] != (bytes[i] | 1)) return false;
  return true;
}

void check(int status, const recording_port& p, const std::vector<std::string>& args) {
  if (status != 0 && status != 88 && status != 128 + SIGTERM) fail("unexpected exit status", args);
  if (!whole_cycles(p.bytes())) fail("a port write outside a whole write cycle", args);
  if (p.bytes().size() < 2 || p.bytes()[p.bytes().size() - 2] != 0xFC)
    fail("the run did not end by releasing the shoulder", args);
  if (get("lock.dat") != "0\n") fail("the lock was not released", args);
  armctl::counters c{};
  armctl::parse_counters(get("robot_position.dat"), c);
  // From rest, the position letters can never leave their ranges.
  if (c[0] < -800 || c[0] > 800 || c[5] < -2000 || c[5] > 1600 || c[3] < -2000 || c[3] > 2000)
    fail("a position counter left its range", args);
  if (get("robot_position.dat") != armctl::position_text(c))
    fail("the position file is not six counters", args);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/armctl-fuzz-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) std::abort();
  scratch = templ;
  std::atexit(remove_scratch);
  // The reports are of no interest here, and getopt's complaints would bury
  // the fuzzer's own output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  opterr = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::vector<std::string> args{"armctl"};
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  for (std::size_t start = 0; start <= input.size() && args.size() <= max_args;) {
    std::size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    args.emplace_back(input.substr(start, std::min(end - start, max_arg_length)));
    start = end + 1;
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  put("lock.dat", "0\n");
  put("robot_position.dat", "0 0 0 0 0 0 \n");
  armctl::stop_signal = 0;
  recording_port port;
  const int status = armctl::run(static_cast<int>(args.size()), argv.data(),
                                 {scratch.c_str(), 0, std::chrono::milliseconds(1)}, port);
  std::fflush(stdout);
  armctl::stop_signal = 0;
  check(status, port, args);
  return 0;
}

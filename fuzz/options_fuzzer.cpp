// Fuzzes a whole run through its command line: each input is an argv, its
// arguments separated by NUL bytes, run in-process against a scratch state
// directory (lock free) and a port that records the bytes. A first argument
// that starts with '@' is not passed on: the rest of it becomes the position
// file the run starts from; without one the arm starts at rest. After each
// run the port bytes, the state files and the exit status must still be what
// the arm and its caller rely on, and every counter of a single motor must
// have moved by exactly the steps that motor was sent.
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "model/status.hpp"
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

// The net steps each motor was sent: a step advances the phase by one
// (forward) or goes back by one (backward); every run of steps starts again
// from phase 0 after the motor's release pattern.
std::array<std::int64_t, 8> net_steps(const std::vector<std::uint8_t>& bytes,
                                      const std::vector<std::string>& args) {
  constexpr std::array<std::uint8_t, 4> phase_line{0x04, 0x80, 0x08, 0x40};
  std::array<int, 8> phase{};
  std::array<std::int64_t, 8> net{};
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const std::uint8_t b = bytes[i];
    const auto m = static_cast<std::size_t>(((b >> 1) & 1) | ((b >> 3) & 2) | ((b >> 3) & 4));
    const std::uint8_t lines = b & 0xCC;
    if (lines == 0xCC) {
      phase[m] = 0;
      continue;
    }
    const auto* hit = std::find(phase_line.begin(), phase_line.end(), lines);
    if (hit == phase_line.end()) fail("a pattern that is neither one phase nor a release", args);
    const int p = static_cast<int>(hit - phase_line.begin());
    const int turn = (p - phase[m] + 4) % 4;
    if (turn == 2) fail("a motor skipped a phase", args);
    net[m] += turn == 1 ? 1 : turn == 3 ? -1 : 0;  // 0: the shoulder's hold pattern
    phase[m] = p;
  }
  return net;
}

// The counters driven by one motor each: counter, motor, motor direction of
// a growing counter (the elbow motor turns backward as its counter grows).
struct single_motor {
  std::size_t counter;
  std::size_t motor;
  int sign;
};
constexpr std::array<single_motor, 4> single_motors{{{0, 5, 1}, {5, 2, 1}, {4, 6, 1}, {1, 4, -1}}};

// The position counters' ranges. An allowed move ends inside its range, a
// move cut short ends between its start and its end, so a counter never
// goes further out than it started.
struct range {
  std::size_t counter;
  std::int64_t lo, hi;
};
constexpr std::array<range, 3> ranges{{{0, -800, 800}, {5, -2000, 1600}, {3, -2000, 2000}}};

void check(int status, const recording_port& p, const armctl::counters& start,
           const std::vector<std::string>& args) {
  namespace code = armctl::exit_code;
  if (status != code::ok && status != code::move_refused && status != code::signal_base + SIGTERM)
    fail("unexpected exit status", args);
  if (!whole_cycles(p.bytes())) fail("a port write outside a whole write cycle", args);
  if (p.bytes().size() < 2 || p.bytes()[p.bytes().size() - 2] != 0xFC)
    fail("the run did not end by releasing the shoulder", args);
  if (get("lock.dat") != "0\n") fail("the lock was not released", args);
  armctl::counters c{};
  armctl::parse_counters(get("robot_position.dat"), c);
  if (get("robot_position.dat") != armctl::position_text(c))
    fail("the position file is not six counters", args);
  for (const range& r : ranges) {
    const std::int64_t v = c[r.counter], was = start[r.counter];
    if (v < std::min(was, r.lo) || v > std::max(was, r.hi))
      fail("a position counter went out of its range", args);
  }
  const std::array<std::int64_t, 8> net = net_steps(p.bytes(), args);
  for (const single_motor& s : single_motors)
    if (std::int64_t{c[s.counter]} - start[s.counter] != s.sign * net[s.motor])
      fail("a counter and its motor's steps disagree", args);
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
  std::string position = "0 0 0 0 0 0 \n";
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  for (std::size_t start = 0; start <= input.size() && args.size() <= max_args;) {
    std::size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view arg = input.substr(start, end - start);
    if (start == 0 && arg.starts_with('@'))
      position = arg.substr(1);
    else
      args.emplace_back(arg.substr(0, max_arg_length));
    start = end + 1;
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  put("lock.dat", "0\n");
  put("robot_position.dat", position.c_str());
  armctl::counters start{};
  armctl::parse_counters(position, start);
  armctl::stop_signal = 0;
  recording_port port;
  const int status = armctl::run(static_cast<int>(args.size()), argv.data(),
                                 {scratch.c_str(), 0, std::chrono::milliseconds(1)}, port);
  std::fflush(stdout);
  armctl::stop_signal = 0;
  check(status, port, start, args);
  return 0;
}

// armctl-trace: what a port log of the simulated controller told the motors,
// and how evenly the writes came.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "tools/port_trace.hpp"
#include "tools/trace_timing.hpp"

namespace {

using namespace armctl::trace;

constexpr const char* usage =
    "usage: armctl-trace [--delay-ns N] [port.log]\n"
    "Reads a port log (standard input without a file) and prints per motor the\n"
    "steps, releases and last latched pattern, then per run the interval error\n"
    "against the delay of N ns (default " ARMCTL_TRACE_DEFAULT_DELAY_TEXT
    ").\n"
    "Exit status: 0 clean, 1 the writes break the write cycle, 2 bad input.\n";

// Exit statuses.
constexpr int clean = 0, faulty = 1, bad_input = 2;

struct arguments {
  long long delay_ns = ARMCTL_TRACE_DEFAULT_DELAY;
  const char* path = nullptr;
};

bool parse_delay(std::string_view text, long long& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size() && out >= 0;
}

// Returns false (after saying why) for anything it does not understand.
bool parse_arguments(int argc, char** argv, arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    std::string_view value;
    if (a == "--delay-ns" && i + 1 < argc) {
      value = argv[++i];
    } else if (a.starts_with("--delay-ns=")) {
      value = a.substr(std::strlen("--delay-ns="));
    } else if (a == "-h" || a == "--help") {
      std::fputs(usage, stdout);
      std::exit(clean);
    } else if (!a.starts_with("-") || a == "-") {
      if (args.path) return false;
      args.path = argv[i];
      continue;
    } else {
      return false;
    }
    if (!parse_delay(value, args.delay_ns)) return false;
  }
  return true;
}

bool read_input(const char* path, std::string& text) {
  if (!path || std::string_view(path) == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

void print_motors(const decoded& d) {
  std::printf("%zu writes, %zu cycles, %zu faults\n", d.writes, d.cycles, d.faults.size());
  std::printf("motor  forward  backward  releases  holds  last\n");
  for (std::size_t m = 0; m < d.motors.size(); ++m) {
    const motor_summary& s = d.motors[m];
    if (s.last_pattern < 0) continue;  // never latched
    std::printf("%5zu  %7ld  %8ld  %8ld  %5ld  0x%02x\n", m, s.forward, s.backward, s.releases,
                s.holds, s.last_pattern);
  }
}

void print_timing(const std::vector<write_record>& writes, long long delay_ns) {
  if (delay_ns <= 0) {
    std::printf("no timing: the delay is 0\n");
    return;
  }
  std::printf("\ntiming against a delay of %lld ns; |interval - delay| in us\n", delay_ns);
  std::printf("run  writes   p50 us   p99 us    max us  shortest  drift ppm\n");
  int n = 0;
  for (const auto& run : split_runs(writes, delay_ns)) {
    const timing t = time_writes(run, delay_ns);
    std::printf("%3d  %6zu  %7.1f  %7.1f  %8.1f  %8.2f  %+9.0f\n", ++n, t.writes, t.p50_us,
                t.p99_us, t.max_us, t.shortest, t.drift_ppm);
  }
}

}  // namespace

int main(int argc, char** argv) {
  arguments args;
  if (!parse_arguments(argc, argv, args)) {
    std::fputs(usage, stderr);
    return bad_input;
  }
  std::string text;
  if (!read_input(args.path, text)) {
    std::fprintf(stderr, "armctl-trace: %s: %s\n", args.path ? args.path : "stdin",
                 std::strerror(errno));
    return bad_input;
  }
  std::vector<write_record> writes;
  std::size_t bad_line = 0;
  if (!parse_log(text, writes, &bad_line)) {
    std::fprintf(stderr, "armctl-trace: %s:%zu: not a \"<ns> 0x<hh>\" line\n",
                 args.path ? args.path : "stdin", bad_line);
    return bad_input;
  }
  const decoded d = decode(writes);
  print_motors(d);
  print_timing(writes, args.delay_ns);
  if (!d.faults.empty()) std::printf("\nfaults:\n");
  for (const std::string& f : d.faults) std::printf("  %s\n", f.c_str());
  return d.faults.empty() ? clean : faulty;
}

// A whole run in-process: scratch state directory, recording port, no delays,
// standard output and error captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "driver/run.hpp"
#include "driver/signals.hpp"
#include "state/position_file.hpp"
#include "state/state_dir.hpp"
#include "support.hpp"

namespace armctl::testing {

class RunFixture : public ::testing::Test {
 protected:
  scratch_dir tmp;
  recording_port port;
  std::string lock_path = tmp.file(lock_file_name);
  std::string position_path = tmp.file(position_file_name);
  std::string out, err;

  void SetUp() override {
    stop_signal = 0;
    write_file(lock_path, "0\n");
    write_file(position_path, "0 0 0 0 0 0 \n");
  }
  void TearDown() override { stop_signal = 0; }

  void start_at(const counters& c) { write_file(position_path, position_text(c)); }

  int run_with(std::vector<std::string> args) {
    args.insert(args.begin(), "armctl");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = run(static_cast<int>(args.size()), argv.data(),
                           {tmp.path().c_str(), 0, std::chrono::milliseconds(1)}, port);
    std::fflush(stdout);
    std::fflush(stderr);
    out = ::testing::internal::GetCapturedStdout();
    err = ::testing::internal::GetCapturedStderr();
    return status;
  }

  counters saved() const {
    counters c{};
    parse_counters(read_file(position_path), c);
    return c;
  }

  // Number of report lines (each has three commas) in standard output.
  int report_lines() const {
    int n = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      if (std::count(out.begin() + static_cast<long>(start), out.begin() + static_cast<long>(end),
                     ',') == 3)
        ++n;
    return n;
  }
};

}  // namespace armctl::testing

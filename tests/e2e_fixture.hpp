// End-to-end fixture: one simulated controller and its compiled-in state
// directory, emptied before every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.hpp"
#include "state/position_file.hpp"
#include "support.hpp"
#include "tools/port_trace.hpp"

namespace armctl::testing {

struct controller_build {
  const char* exe;
  const char* dir;
};
inline constexpr controller_build fast{ARMCTL_E2E_FAST, ARMCTL_E2E_FAST_DIR};
inline constexpr controller_build timed{ARMCTL_E2E_TIMED, ARMCTL_E2E_TIMED_DIR};

class E2E : public ::testing::Test {
 protected:
  explicit E2E(controller_build b = fast) : build(b) {}

  void SetUp() override {
    clear_dir(build.dir);
    write_file(lock_path, "0\n");
    write_file(position_path, "0 0 0 0 0 0 \n");
  }

  outcome_of_run run(const std::vector<std::string>& args) {
    return run_controller(build.exe, args);
  }

  counters saved() const {
    counters c{};
    parse_counters(read_file(position_path), c);
    return c;
  }

  // Waits (up to ten seconds) until a started run holds the lock, so that a
  // signal sent next finds it past the wait, however slowly it started.
  bool lock_taken() const {
    for (int i = 0; i < 1000; ++i) {
      if (read_file(lock_path) == "1\n") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // What the port log says the motors were told.
  trace::decoded motion() const {
    std::vector<trace::write_record> writes;
    std::size_t bad = 0;
    EXPECT_TRUE(trace::parse_log(read_file(log_path), writes, &bad)) << "line " << bad;
    trace::decoded d = trace::decode(writes);
    EXPECT_TRUE(d.faults.empty()) << d.faults.front();
    return d;
  }

  controller_build build;
  std::string dir = build.dir;
  std::string lock_path = dir + "/lock.dat";
  std::string position_path = dir + "/robot_position.dat";
  std::string log_path = dir + "/port.log";
};

}  // namespace armctl::testing

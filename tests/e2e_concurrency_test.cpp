// Many controllers started at once: no two hold the lock together and no
// counter update is lost.
#include <memory>
#include <thread>

#include "e2e_fixture.hpp"

namespace armctl::testing {
namespace {

using namespace std::chrono_literals;

struct concurrent_case {
  const char* letter;
  std::size_t counter;
  int motor_number;
  bool forward;
};
void PrintTo(const concurrent_case& c, std::ostream* os) { *os << c.letter; }

class Concurrent : public E2E, public ::testing::WithParamInterface<concurrent_case> {};

TEST_P(Concurrent, EveryRunCountsOnce) {
  const concurrent_case& c = GetParam();
  constexpr int runs = 24;
  std::vector<std::unique_ptr<controller>> started;
  for (int i = 0; i < runs; ++i)
    started.push_back(
        std::make_unique<controller>(build.exe, std::vector<std::string>{c.letter, "1"}));
  for (auto& ctl : started) EXPECT_EQ(ctl->wait().status, 0);
  EXPECT_EQ(saved()[c.counter], runs);
  EXPECT_EQ(read_file(lock_path), "0\n");
  const trace::decoded d = motion();
  const trace::motor_summary& m = d.motors[static_cast<std::size_t>(c.motor_number)];
  EXPECT_EQ(c.forward ? m.forward : m.backward, runs);
  // Each move ends with a release; the shoulder is also released at each run's end.
  EXPECT_EQ(m.releases, c.motor_number == 6 ? 2 * runs : runs);
}

INSTANTIATE_TEST_SUITE_P(Letters, Concurrent,
                         ::testing::Values(concurrent_case{"-G", 0, 5, true},
                                           concurrent_case{"-H", 4, 6, true},
                                           concurrent_case{"-V", 1, 4, false}),
                         [](const auto& tc) { return std::string(tc.param.letter + 1); });

// Runs queued behind another program's hold all go on once it writes 0.
TEST_F(E2E, QueuedBehindAnotherProgram) {
  write_file(lock_path, "1\n");
  std::vector<std::unique_ptr<controller>> started;
  for (int i = 0; i < 6; ++i)
    started.push_back(std::make_unique<controller>(build.exe, std::vector<std::string>{"-S", "2"}));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(read_file(position_path), "0 0 0 0 0 0 \n");
  write_file(lock_path, "0\n");
  for (auto& ctl : started) EXPECT_EQ(ctl->wait().status, 0);
  EXPECT_EQ(saved()[5], 12);
  EXPECT_EQ(read_file(lock_path), "0\n");
}

}  // namespace
}  // namespace armctl::testing

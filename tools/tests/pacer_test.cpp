// The pacer on the real clock: however late a write comes (a stall of the
// machine), no two writes are ever closer than one delay, since a stepper
// driven faster than its rate loses steps that no counter records.
#include "motor/pacer.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <map>
#include <vector>

#include "motor/bus.hpp"

namespace armctl {
namespace {

constexpr std::int64_t delay_ns = 200000;

// Records when each write happened; stalls the machine before some writes.
class stalling_port final : public port {
 public:
  bool grant() override { return true; }
  bool drop() override { return true; }
  void write(std::uint8_t) override {
    if (stalls_.count(times.size()) != 0) {
      const timespec stall{0, static_cast<long>(stalls_.at(times.size()))};
      ::nanosleep(&stall, nullptr);
    }
    times.push_back(monotonic_ns());
  }
  std::map<std::size_t, std::int64_t> stalls_;
  std::vector<std::int64_t> times;
};

TEST(Pacer, NoIntervalIsShorterThanTheDelayAfterAStall) {
  stalling_port p;
  // Stalls of a tenth, one and a half, and twelve delays, mid-cycle and between cycles.
  p.stalls_ = {{7, delay_ns / 10}, {20, 3 * delay_ns / 2}, {41, 12 * delay_ns}};
  bus b(p, delay_ns);
  for (int i = 0; i < 40; ++i) b.cycle(0x34);
  ASSERT_EQ(p.times.size(), 80u);
  for (std::size_t i = 1; i < p.times.size(); ++i)
    EXPECT_GE(p.times[i] - p.times[i - 1], delay_ns) << "between writes " << i - 1 << " and " << i;
}

}  // namespace
}  // namespace armctl

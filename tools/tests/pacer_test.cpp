// The pacer on the real clock: however late a write comes (a stall of the
// machine), no two writes are ever closer than one delay, since a stepper
// driven faster than its rate loses steps that no counter records.
#include "motor/pacer.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <vector>

#include "motor/bus.hpp"

namespace armctl {
namespace {

constexpr std::int64_t delay_ns = 200000;

// Records when each write happened; the machine stalls before write 20 for
// one and a half delays, and before write 41 for twelve.
struct stalling_port final : port {
  bool grant() override { return true; }
  bool drop() override { return true; }
  void write(std::uint8_t) override {
    const std::int64_t stall = times.size() == 20   ? 3 * delay_ns / 2
                               : times.size() == 41 ? 12 * delay_ns
                                                    : 0;
    const timespec ts{0, static_cast<long>(stall)};
    if (stall > 0) ::nanosleep(&ts, nullptr);
    times.push_back(monotonic_ns());
  }
  std::vector<std::int64_t> times;
};

TEST(Pacer, NoIntervalIsShorterThanTheDelayAfterAStall) {
  stalling_port p;
  bus b(p, delay_ns);
  for (int i = 0; i < 40; ++i) b.cycle(0x34);
  ASSERT_EQ(p.times.size(), 80u);
  for (std::size_t i = 1; i < p.times.size(); ++i)
    EXPECT_GE(p.times[i] - p.times[i - 1], delay_ns) << "between writes " << i - 1 << " and " << i;
}

}  // namespace
}  // namespace armctl

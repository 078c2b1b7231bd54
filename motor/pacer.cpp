// Sleeping to just before each deadline, then spinning on the clock: the
// kernel's wake-up is tens of microseconds late, the spin makes up the rest.
#include "motor/pacer.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/prctl.h>
#include <time.h>

namespace armctl {
namespace {

constexpr std::int64_t ns_per_s = 1000000000;

// The wake-up margin follows the 95th percentile of the kernel's wake-up
// latency: it grows by 19 steps whenever a wake-up comes after the deadline
// and shrinks by one otherwise. A percentile, unlike the worst case, does
// not let a rare stall of milliseconds set how long every delay spins.
constexpr std::int64_t start_margin_ns = 50000;
constexpr std::int64_t margin_up_ns = 9500;
constexpr std::int64_t margin_down_ns = 500;
constexpr std::int64_t min_margin_ns = 2000;
// Spinning costs a core; never spin more than a tenth of a delay.
constexpr std::int64_t max_margin_share = 10;

timespec to_timespec(std::int64_t ns) {
  return {static_cast<time_t>(ns / ns_per_s), static_cast<long>(ns % ns_per_s)};
}

}  // namespace

std::int64_t monotonic_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

pacer::pacer(std::int64_t delay_ns)
    : delay_ns_(std::max<std::int64_t>(delay_ns, 0)), margin_ns_(start_margin_ns) {
  // The default 50 us timer slack would add itself to every wake-up.
  if (delay_ns_ > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void pacer::kill_time(long loops) {
  if (loops <= 0 || delay_ns_ == 0) return;
  sleep_until(monotonic_ns() + delay_ns_);
}

void pacer::sleep_until(std::int64_t deadline) {
  const std::int64_t wake = deadline - margin_ns_;
  if (wake > monotonic_ns()) {
    const timespec ts = to_timespec(wake);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    const bool overslept = monotonic_ns() > deadline;
    margin_ns_ += overslept ? margin_up_ns : -margin_down_ns;
    margin_ns_ = std::clamp(margin_ns_, min_margin_ns,
                            std::max(min_margin_ns, delay_ns_ / max_margin_share));
  }
  while (monotonic_ns() < deadline) {
  }
}

}  // namespace armctl

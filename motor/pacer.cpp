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
constexpr std::int64_t min_margin_ns = 20000;
constexpr std::int64_t start_margin_ns = 80000;

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
  // Every caller passes delay_loops; other counts scale, without overflow.
  const std::int64_t span =
      loops == delay_loops
          ? delay_ns_
          : static_cast<std::int64_t>(static_cast<double>(delay_ns_) *
                                      (static_cast<double>(loops) / delay_loops));
  if (span <= 0) return;
  const std::int64_t now = monotonic_ns();
  const bool on_schedule = due_ != 0 && now - due_ <= span / 2;
  due_ = (on_schedule ? due_ : now) + span;
  sleep_until(due_);
}

void pacer::sleep_until(std::int64_t deadline) {
  const std::int64_t wake = deadline - margin_ns_;
  if (wake > monotonic_ns()) {
    const timespec ts = to_timespec(wake);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    // Follow the wake-up latency: rise quickly when it grows, ease back slowly,
    // and never spin more than a fifth of a delay.
    const std::int64_t late = monotonic_ns() - wake;
    margin_ns_ += late > margin_ns_ ? (late - margin_ns_) / 2 : -(margin_ns_ - late) / 64;
    margin_ns_ = std::clamp(margin_ns_, min_margin_ns,
                            std::max(min_margin_ns, delay_ns_ / 5));
  }
  while (monotonic_ns() < deadline) {
  }
}

}  // namespace armctl

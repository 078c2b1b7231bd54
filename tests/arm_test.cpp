// The arm's queue as the daemon holds it: requests get the arm's turn in the
// order they came, no more than the bound wait, a STOP ends every waiting
// one (never the one whose run it signals instead), and a wait ends at its
// deadline or when its caller goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "daemon/runs/arm.hpp"

namespace armctl::front {
namespace {

using namespace std::chrono_literals;

const auto never_gone = [] { return false; };

TEST(Arm, TurnsGoInOrderOfArrivalWithinTheBound) {
  arm a;
  auto first = a.take_place(2);
  auto second = a.take_place(2);
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(a.take_place(2)) << "a third waits beyond max_waiting";
  // The second waits behind the first, however long it is given.
  EXPECT_EQ(second->wait_turn(steady::now() + 30ms, never_gone), turn_result::timed_out);
  EXPECT_EQ(first->wait_turn(steady::now() + 1s, never_gone), turn_result::yours);
  // The first has the turn, and waits on for the lock: it still counts;
  // once its run holds the lock it waits no more.
  EXPECT_FALSE(a.take_place(2));
  a.run_holds_lock();
  EXPECT_TRUE(a.take_place(2));
  std::atomic<bool> got{false};
  std::thread waiter(
      [&] { got = second->wait_turn(steady::now() + 5s, never_gone) == turn_result::yours; });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(got) << "the turn was given while the first still held it";
  first.reset();
  waiter.join();
  EXPECT_TRUE(got);
}

TEST(Arm, StopEndsEveryWaitingRequestAndTheCallerEndsItsOwn) {
  arm a;
  auto holder = a.take_place(8);
  ASSERT_EQ(holder->wait_turn(steady::now() + 1s, never_gone), turn_result::yours);
  std::vector<std::optional<place>> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(a.take_place(8));
  std::vector<turn_result> results(waiting.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < waiting.size(); ++i)
    threads.emplace_back(
        [&, i] { results[i] = waiting[i]->wait_turn(steady::now() + 5s, never_gone); });
  std::this_thread::sleep_for(50ms);
  const stop_count c = a.stop_all();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(c.waiting_ended, 3u);
  EXPECT_FALSE(c.run_signalled) << "no run was started under the turn";
  for (const turn_result r : results) EXPECT_EQ(r, turn_result::stopped);
  auto late = a.take_place(8);
  std::atomic<bool> gone{false};
  std::thread leaver([&] {
    std::this_thread::sleep_for(60ms);
    gone = true;
  });
  EXPECT_EQ(late->wait_turn(steady::now() + 5s, [&] { return gone.load(); }),
            turn_result::caller_gone);
  leaver.join();
}

}  // namespace
}  // namespace armctl::front

// Serial queue, repeating timer and main-thread hand-off.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/main_thread.hpp"
#include "common/repeating_timer.hpp"
#include "common/serial_queue.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace serial_queue_test {

using namespace solvera;
using namespace std::chrono_literals;

TEST(SerialQueue, SyncRunsOnTheQueueInOrderAndPropagatesResultsAndErrors) {
  SerialQueue queue("test.queue");
  std::vector<int> order;
  queue.post([&] { order.push_back(1); });
  queue.post([&] { order.push_back(2); });
  bool onQueue = queue.sync([&] {
    order.push_back(3);
    return queue.isCurrent();
  });
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  // Nested sync on the queue itself runs inline instead of deadlocking.
  EXPECT_EQ(queue.sync([&] { return queue.sync([] { return 7; }); }), 7);
}

TEST(SerialQueue, SyncAfterShutdownRunsInline) {
  SerialQueue queue("test.queue");
  queue.shutdown();
  EXPECT_EQ(queue.sync([] { return 3; }), 3);
}

TEST(RepeatingTimer, TicksUntilCancelledAndCanBeCancelledFromItsOwnTick) {
  SerialQueue queue("test.timer");
  RepeatingTimer timer(queue);
  std::atomic<int> ticks{0};
  std::promise<void> fifth;
  queue.sync([&] {
    timer.start(0ms, 1ms, [&] {
      if (++ticks == 5) {
        timer.cancel();
        fifth.set_value();
      }
    });
  });
  fifth.get_future().wait();
  // A tick queued behind the cancel must not run: a sync round-trip proves the queue drained.
  queue.sync([] {});
  EXPECT_EQ(ticks.load(), 5);
  EXPECT_FALSE(queue.sync([&] { return timer.isActive(); }));
}

TEST(RepeatingTimer, RestartReplacesTheScheduleAndDestructionStopsTicks) {
  SerialQueue queue("test.timer");
  std::atomic<int> oldTicks{0}, newTicks{0};
  std::promise<void> third;
  auto timer = std::make_unique<RepeatingTimer>(queue);
  queue.sync([&] {
    timer->start(1h, 1h, [&] { ++oldTicks; });
    timer->start(0ms, 1ms, [&] {
      if (++newTicks == 3) third.set_value();
    });
  });
  third.get_future().wait();
  // Destroyed while still ticking; the count at that moment is exact (ticks run on the queue).
  const int atDestruction = queue.sync([&] {
    timer.reset();
    return newTicks.load();
  });
  // A witness on the same queue: by its twentieth 1 ms tick a live schedule would have ticked.
  RepeatingTimer witness(queue);
  std::promise<void> witnessed;
  int witnessTicks = 0;
  queue.sync([&] {
    witness.start(0ms, 1ms, [&] {
      if (++witnessTicks == 20) {
        witness.cancel();
        witnessed.set_value();
      }
    });
  });
  witnessed.get_future().wait();
  queue.sync([] {});  // the witness's last tick has returned before it is destroyed here
  EXPECT_EQ(oldTicks.load(), 0);
  EXPECT_GE(atDestruction, 3);
  EXPECT_EQ(newTicks.load(), atDestruction);
}

TEST(Weakly, DoesNothingOnceTheOwnerIsGone) {
  auto owner = std::make_shared<int>(1);
  int seen = 0;
  auto callback = weakly(owner, [&](int& value, int add) { seen = value + add; });
  callback(2);
  EXPECT_EQ(seen, 3);
  owner.reset();
  callback(5);
  EXPECT_EQ(seen, 3);
}

TEST(MainThread, PostFromAnotherThreadRunsOnTheMainLoopNeverInline) {
  bool ran = false;
  mainthread::post([&] { ran = true; });
  EXPECT_FALSE(ran);
  std::atomic<bool> fromThread{false};
  std::thread([&] { mainthread::post([&] { fromThread = true; }); }).join();
  EXPECT_TRUE(mainthread::runUntil([&] { return ran && fromThread; }));
  bool later = false;
  mainthread::postAfter(5ms, [&] { later = true; });
  EXPECT_TRUE(mainthread::runUntil([&] { return later; }));
}

}  // namespace serial_queue_test

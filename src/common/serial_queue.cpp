// The thread behind a serial work queue.
#include "common/serial_queue.hpp"

#include <pthread.h>

#include <cassert>

namespace solvera {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), io_(1), work_(asio::make_work_guard(io_)) {
  std::promise<std::thread::id> started;
  auto startedId = started.get_future();
  thread_ = std::thread([this, &started] {
    // Thread names are at most 15 bytes; the label's tail is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    started.set_value(std::this_thread::get_id());
    io_.run();
  });
  threadId_ = startedId.get();
}

SerialQueue::~SerialQueue() { shutdown(); }

void SerialQueue::shutdown() {
  if (stopped_) return;
  assert(!isCurrent());
  // Work queued before the shutdown still runs (a blackout frame before the stop); repeating
  // timers would keep the context alive forever, so the context is stopped after that.
  sync([] {});
  work_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
  stopped_ = true;
}

}  // namespace solvera

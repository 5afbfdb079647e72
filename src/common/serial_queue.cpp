// The thread behind a serial work queue.
#include "common/serial_queue.hpp"

#include <pthread.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cassert>
#include <future>

namespace solvera {

struct SerialQueue::Context {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(io)};
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), context_(std::make_unique<Context>()) {
  std::promise<std::thread::id> started;
  auto startedId = started.get_future();
  thread_ = std::thread([this, &started] {
    // Thread names are at most 15 bytes; the label's tail is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    started.set_value(std::this_thread::get_id());
    context_->io.run();
  });
  threadId_ = startedId.get();
}

SerialQueue::~SerialQueue() { shutdown(); }

asio::io_context& SerialQueue::context() { return context_->io; }

void SerialQueue::post(std::function<void()> work) { asio::post(context_->io, std::move(work)); }

void SerialQueue::runAndWait(const std::function<void()>& work) {
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(context_->io, [&] {
    work();
    done.set_value();
  });
  finished.get();
}

void SerialQueue::shutdown() {
  if (stopped_) return;
  assert(!isCurrent());
  // Work queued before the shutdown still runs (a blackout frame before the stop); repeating
  // timers would keep the context alive forever, so the context is stopped after that.
  sync([] {});
  context_->work.reset();
  context_->io.stop();
  if (thread_.joinable()) thread_.join();
  stopped_ = true;
}

}  // namespace solvera

// A serial work queue: one Asio io_context run by one thread of its own.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <type_traits>

namespace solvera {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  asio::io_context& context() { return io_; }

  // True when called from the queue's own thread.
  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

  // Queues work and returns at once.
  void post(std::function<void()> work) { asio::post(io_, std::move(work)); }

  // Runs work on the queue and waits for it; exceptions reach the caller. Called on the
  // queue itself (or after shutdown) it runs inline, so it cannot deadlock.
  template <typename F>
  auto sync(F&& work) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if (isCurrent() || stopped_) return work();
    std::packaged_task<R()> task(std::forward<F>(work));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
  }

  // Runs the work queued so far, then stops the thread; later timer ticks are dropped.
  // Idempotent; not callable on the queue.
  void shutdown();

 private:
  std::string label_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::thread::id threadId_;
  bool stopped_ = false;
};

}  // namespace solvera

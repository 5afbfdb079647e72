// A serial work queue: one Asio io_context run by one thread of its own.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

// Only the queue's own file and the few that run sockets or timers on it need all of Asio.
namespace asio {
class io_context;
}

namespace solvera {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  asio::io_context& context();

  // True when called from the queue's own thread.
  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

  // Queues work and returns at once.
  void post(std::function<void()> work);

  // Runs work on the queue and waits for it; exceptions reach the caller. Called on the
  // queue itself (or after shutdown) it runs inline, so it cannot deadlock.
  template <typename F>
  auto sync(F&& work) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if (isCurrent() || stopped_) return work();
    std::exception_ptr failure;
    if constexpr (std::is_void_v<R>) {
      runAndWait([&] {
        try {
          work();
        } catch (...) {
          failure = std::current_exception();
        }
      });
      if (failure) std::rethrow_exception(failure);
    } else {
      std::optional<R> result;
      runAndWait([&] {
        try {
          result.emplace(work());
        } catch (...) {
          failure = std::current_exception();
        }
      });
      if (failure) std::rethrow_exception(failure);
      return std::move(*result);
    }
  }

  // Runs the work queued so far, then stops the thread; later timer ticks are dropped.
  // Idempotent; not callable on the queue.
  void shutdown();

 private:
  struct Context;
  // Queues work that never throws and waits until it has run.
  void runAndWait(const std::function<void()>& work);

  std::string label_;
  std::unique_ptr<Context> context_;
  std::thread thread_;
  std::thread::id threadId_;
  bool stopped_ = false;
};

}  // namespace solvera

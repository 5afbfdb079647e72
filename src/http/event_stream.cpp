// Server-sent events: framing and the coalescing queue of one stream.
#include "http/event_stream.hpp"

#include <algorithm>

namespace solvera::http {

std::string serverSentEvent(std::string_view name, std::string_view data) {
  std::string out;
  out.reserve(name.size() + data.size() + 24);
  if (!name.empty()) {
    out += "event: ";
    out += name;
    out += '\n';
  }
  // A line break inside the data would end the field early: every line gets its own field.
  std::size_t start = 0;
  while (true) {
    std::size_t end = data.find('\n', start);
    std::string_view line = data.substr(start, end == std::string_view::npos ? end : end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    out += "data: ";
    out += line;
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  out += '\n';
  return out;
}

std::string eventStreamHead() {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
         "Connection: close\r\nCache-Control: no-store\r\n\r\n";
}

EventStream::EventStream(std::string preamble) : preamble_(std::move(preamble)) {}

void EventStream::push(std::string_view name, std::string_view data) {
  std::unique_lock lock(mutex_);
  if (closing_ || detached_) return;
  std::string event = serverSentEvent(name, data);
  auto same = std::find_if(waiting_.begin(), waiting_.end(),
                           [&](const auto& w) { return w.first == name; });
  if (same != waiting_.end()) {
    waitingBytes_ -= same->second.size();
    waiting_.erase(same);
  } else if (waiting_.size() >= kMaxWaitingNames) {
    waitingBytes_ -= waiting_.front().second.size();
    waiting_.erase(waiting_.begin());
  }
  waitingBytes_ += event.size();
  waiting_.emplace_back(std::string(name), std::move(event));
  wakeLocked(lock);
}

void EventStream::close() {
  std::unique_lock lock(mutex_);
  if (closing_ || detached_) return;
  closing_ = true;
  wakeLocked(lock);
}

bool EventStream::ended() const {
  std::lock_guard lock(mutex_);
  return closing_ || detached_;
}

std::size_t EventStream::waitingBytes() const {
  std::lock_guard lock(mutex_);
  return waitingBytes_ + preamble_.size();
}

void EventStream::attach(std::function<void()> wake) {
  std::unique_lock lock(mutex_);
  wake_ = std::move(wake);
  woken_ = false;
  if (!preamble_.empty() || !waiting_.empty() || closing_) wakeLocked(lock);
}

void EventStream::wakeLocked(std::unique_lock<std::mutex>& lock) {
  if (woken_ || !wake_) return;
  woken_ = true;
  std::function<void()> wake = wake_;
  // The wake posts to the connection's queue, which may be this very thread: never under the
  // lock, so that a take() it runs at once cannot deadlock.
  lock.unlock();
  wake();
}

EventStream::Taken EventStream::take() {
  std::lock_guard lock(mutex_);
  woken_ = false;
  Taken taken;
  taken.bytes = std::move(preamble_);
  preamble_.clear();
  for (auto& [name, event] : waiting_) taken.bytes += event;
  waiting_.clear();
  waitingBytes_ = 0;
  taken.finished = (closing_ || detached_) && taken.bytes.empty();
  return taken;
}

void EventStream::detach() {
  std::lock_guard lock(mutex_);
  detached_ = true;
  wake_ = nullptr;
  preamble_.clear();
  waiting_.clear();
  waitingBytes_ = 0;
}

}  // namespace solvera::http

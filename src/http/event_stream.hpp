// Server-sent events: the wire form of an event, and one stream's queue between the threads
// that push events and the connection that writes them. No sockets here.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace solvera::http {

// "event: NAME\n", one "data: " line per line of data, and the blank line that ends it.
std::string serverSentEvent(std::string_view name, std::string_view data);
// The head of a stream reply: no length, the body ends when the connection does.
std::string eventStreamHead();
inline constexpr std::string_view kKeepAliveComment = ": keep-alive\n\n";

// What waits for one client. A reader that cannot keep up gets the latest event of each name,
// not a backlog: an event replaces a waiting one of the same name, so the memory a stream holds
// stays bounded whatever is pushed.
class EventStream {
 public:
  // Names waiting at once beyond this drop their oldest.
  static constexpr std::size_t kMaxWaitingNames = 8;

  // preamble: bytes written first, right after the head (a retry hint, the current state).
  explicit EventStream(std::string preamble = {});

  // Any thread; nothing happens once the stream has ended.
  void push(std::string_view name, std::string_view data);
  // Any thread: the stream ends once what waits has been written.
  void close();
  // Closed by either side, or its connection is gone.
  bool ended() const;
  std::size_t waitingBytes() const;

  // --- The connection's side.
  // wake runs on the pushing thread (outside the stream's lock) when something waits and
  // no wake was given since the last take().
  void attach(std::function<void()> wake);
  struct Taken {
    std::string bytes;     // what to write now; empty when nothing waits
    bool finished = false;  // closed and nothing left: end the connection
  };
  Taken take();
  // The connection is gone: every later push is dropped.
  void detach();

 private:
  void wakeLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::string preamble_;
  std::vector<std::pair<std::string, std::string>> waiting_;  // name, whole event; oldest first
  std::size_t waitingBytes_ = 0;
  std::function<void()> wake_;
  bool woken_ = false;
  bool closing_ = false;
  bool detached_ = false;
};

}  // namespace solvera::http

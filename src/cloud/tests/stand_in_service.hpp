// A stand-in for an outside web service on 127.0.0.1: records what it receives and answers as
// the test asks (a reply, silence, or an answer that never finishes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace solvera::test {

struct RecordedRequest {
  std::string method;
  std::string path;   // undecoded
  std::string query;  // undecoded, after "?"
  std::map<std::string, std::string> headers;  // lower-case names
  std::string head;   // the raw head, for checks on exact header lines
  std::string body;
};

class StandInService {
 public:
  struct Answer {
    enum class Kind { reply, silent, trickle };
    Kind kind = Kind::reply;
    std::string statusLine = "200 OK";
    std::string contentType = "application/json";
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in CR LF
  };
  // A complete reply with a Content-Length.
  static Answer reply(std::string statusLine, std::string body,
                      std::string contentType = "application/json");
  // An empty reply that sends the client on to location.
  static Answer redirect(std::string statusLine, const std::string& location);
  // Reads the request and never sends a byte.
  static Answer silent();
  // Sends a head promising a long body, then one byte every 100 ms, never finishing.
  static Answer trickle();

  explicit StandInService(Answer answer = reply("200 OK", "{}"));
  ~StandInService();
  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;

  void answerWith(Answer answer);
  std::uint16_t port() const { return port_; }
  std::string baseURL() const;  // "http://127.0.0.1:<port>"

  // Waits until n requests have arrived in full; false when the time passes first.
  bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<RecordedRequest> requests() const;
  std::size_t connectionCount() const;

 private:
  void acceptLoop();
  void serve(int fd);
  bool stopRequested(int timeoutMs) const;  // waits on the stop pipe

  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Answer answer_;
  std::vector<RecordedRequest> requests_;
  std::size_t connections_ = 0;
  std::vector<std::thread> threads_;
  std::thread acceptThread_;
};

// A loopback port with nothing listening on it: connecting is refused.
std::uint16_t refusedLoopbackPort();

// Runs something that answers through a callback (a proxy handler, an exchange) and waits for
// the answer; the limit is only there so a lost answer fails the test instead of hanging it.
template <typename T, typename Start>
T awaitAnswer(Start start) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  start([promise](T answer) { promise->set_value(std::move(answer)); });
  if (future.wait_for(std::chrono::minutes(2)) != std::future_status::ready) return T{};
  return future.get();
}

template <typename Start>
std::string awaitReply(Start start) {
  return awaitAnswer<std::string>(std::move(start));
}

}  // namespace solvera::test

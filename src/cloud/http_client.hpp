// The process's shared outgoing HTTP client: libcurl transfers driven by one thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace solvera::cloud {

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;             // http:// or https:// only
  // Sent exactly as given, an empty value included.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // POST only
  // Like the desktop's request time-out: the longest the connection may stay idle (while
  // connecting, waiting for the answer or between pieces of it), not a limit on the whole.
  std::chrono::milliseconds timeout{60000};
  // Redirects are followed (at most kMaxRedirects), never from https to plain http; a POST
  // answered with 301, 302 or 303 goes on as a GET, as browsers do.
  bool followRedirects = true;
  // Set: the body goes here a piece at a time, on the client's thread, instead of into the
  // response, and no size limit applies; false stops the transfer (a write error).
  std::function<bool(std::string_view)> bodySink;
  // Set: the transfer ends soon after this becomes true, as a transport error.
  const std::atomic<bool>* cancelled = nullptr;
};

struct HttpResponse {
  std::optional<int> status;         // when an HTTP response arrived
  std::optional<std::string> body;   // when it did: its bytes (none with a body sink)
  std::optional<std::string> error;  // the transport failure, when there was one
  bool timedOut = false;             // the failure was the idle time-out
};

class HttpClient {
 public:
  using Completion = std::function<void(HttpResponse)>;

  // Largest response body kept in memory; a longer one fails the transfer.
  static constexpr std::size_t kMaxResponseBytes = std::size_t{16} * 1024 * 1024;
  static constexpr long kMaxRedirects = 10;

  HttpClient();
  // Ends transfers still running; their completions receive a transport error.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The one client every part of the application shares (connections are reused).
  static HttpClient& shared();

  // Starts one transfer and returns at once. The completion runs exactly once, on the
  // client's thread: keep it short and never block in it.
  void start(HttpRequest request, Completion completion);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace solvera::cloud

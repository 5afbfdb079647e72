// One upstream exchange of a proxy: send, wait at most a wait limit, keep what arrived.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cloud/http_client.hpp"

namespace asio {
class io_context;
}

namespace solvera {
class SerialQueue;
}

namespace solvera::cloud {

// The two limits of a proxy: the request's idle time-out T and the caller's wait W.
struct UpstreamLimits {
  std::chrono::milliseconds requestTimeout;
  std::chrono::milliseconds waitLimit;
};

// What the handler sees once the wait is over.
struct UpstreamResult {
  bool completed = false;  // false: the wait limit or the request time-out passed first
  int status = 502;        // the HTTP status, or 502 when none arrived
  std::string body;        // the response bytes, or the fallback body when none arrived
};

// A complete HTTP reply handed on by a proxy, once it is known.
using ReplyHandler = std::function<void(std::string)>;

// The exchange as the proxies use it; tests may put a recorder in its place.
class Upstream {
 public:
  using Done = std::function<void(UpstreamResult)>;
  virtual ~Upstream() = default;
  // Starts the exchange and returns at once; done runs exactly once, when the exchange
  // completes or waitLimit passes, on the upstream's own executor.
  virtual void exchange(const HttpRequest& request, const std::string& fallbackBody,
                        std::chrono::milliseconds waitLimit, Done done) = 0;
};

// The exchange over the shared HTTP client. Results arrive on the given context (the server's
// queue), so the caller's state needs no locking; nothing waits while the upstream is silent.
// A completion that comes after the owner is gone is dropped.
class HttpUpstream : public Upstream {
 public:
  explicit HttpUpstream(asio::io_context& context, HttpClient& client = HttpClient::shared());
  // With a queue of its own (tools and tests that have none).
  explicit HttpUpstream(HttpClient& client = HttpClient::shared());
  ~HttpUpstream() override;
  void exchange(const HttpRequest& request, const std::string& fallbackBody,
                std::chrono::milliseconds waitLimit, Done done) override;

 private:
  struct Gate;
  std::unique_ptr<SerialQueue> ownQueue_;
  HttpClient& client_;
  std::shared_ptr<Gate> gate_;
};

// A service address: the base address with the fixed path appended; empty when the base is
// empty (the service is not configured).
std::string serviceURL(const std::string& baseURL, const std::string& path);

// Runs the exchange, except for a service that is not configured (empty URL): that one is
// answered as unreachable (502 and the fallback) at once, without any traffic.
void exchangeWithService(Upstream& upstream, const HttpRequest& request,
                         const std::string& fallbackBody, std::chrono::milliseconds waitLimit,
                         Upstream::Done done);

}  // namespace solvera::cloud

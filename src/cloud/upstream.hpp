// One upstream exchange of a proxy: send, wait at most a wait limit, keep what arrived.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "cloud/http_client.hpp"

namespace solvera::cloud {

// The two limits of a proxy: the request's idle time-out T and the caller's wait W.
struct UpstreamLimits {
  std::chrono::milliseconds requestTimeout;
  std::chrono::milliseconds waitLimit;
};

// What the handler sees once the wait is over.
struct UpstreamResult {
  bool completed = false;  // false: the wait limit passed first
  int status = 502;        // the HTTP status, or 502 when none arrived
  std::string body;        // the response bytes, or the fallback body when none arrived
};

// The exchange as the proxies use it; tests may put a recorder in its place.
class Upstream {
 public:
  virtual ~Upstream() = default;
  // Blocks the caller until the exchange completes or waitLimit passes.
  virtual UpstreamResult exchange(const HttpRequest& request, const std::string& fallbackBody,
                                  std::chrono::milliseconds waitLimit) = 0;
};

// The exchange over the shared HTTP client. The two result cells are shared with the
// completion, so a completion that arrives after the wait has given up writes into cells
// that still exist and that nobody reads any more.
class HttpUpstream : public Upstream {
 public:
  explicit HttpUpstream(HttpClient& client = HttpClient::shared()) : client_(client) {}
  UpstreamResult exchange(const HttpRequest& request, const std::string& fallbackBody,
                          std::chrono::milliseconds waitLimit) override;

 private:
  HttpClient& client_;
};

// A service address: the base address with the fixed path appended; empty when the base is
// empty (the service is not configured).
std::string serviceURL(const std::string& baseURL, const std::string& path);

// Runs the exchange, except for a service that is not configured (empty URL): that one is
// answered as unreachable (502 and the fallback) without any traffic.
UpstreamResult exchangeWithService(Upstream& upstream, const HttpRequest& request,
                                   const std::string& fallbackBody,
                                   std::chrono::milliseconds waitLimit);

}  // namespace solvera::cloud

// The shared upstream exchange with its result cells and wait limit.
#include "cloud/upstream.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace solvera::cloud {

UpstreamResult HttpUpstream::exchange(const HttpRequest& request, const std::string& fallbackBody,
                                      std::chrono::milliseconds waitLimit) {
  struct Cells {
    std::mutex mutex;
    std::condition_variable signal;
    bool done = false;
    int status = 502;
    std::string body;
  };
  auto cells = std::make_shared<Cells>();
  cells->body = fallbackBody;
  client_.start(request, [cells](HttpResponse response) {
    std::lock_guard lock(cells->mutex);
    if (response.status) cells->status = *response.status;
    if (response.body) cells->body = std::move(*response.body);
    cells->done = true;
    cells->signal.notify_all();
  });
  auto deadline = std::chrono::steady_clock::now() + waitLimit;
  std::unique_lock lock(cells->mutex);
  bool done = cells->signal.wait_until(lock, deadline, [&] { return cells->done; });
  return UpstreamResult{done, cells->status, cells->body};
}

std::string serviceURL(const std::string& baseURL, const std::string& path) {
  std::string base = baseURL;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.empty()) return {};
  return base + path;
}

UpstreamResult exchangeWithService(Upstream& upstream, const HttpRequest& request,
                                   const std::string& fallbackBody,
                                   std::chrono::milliseconds waitLimit) {
  if (request.url.empty()) return UpstreamResult{true, 502, fallbackBody};
  return upstream.exchange(request, fallbackBody, waitLimit);
}

}  // namespace solvera::cloud

// The shared upstream exchange: the transfer runs on the HTTP client's thread, the wait limit
// on the caller's context, and whichever ends first answers.
#include "cloud/upstream.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <mutex>

#include "common/serial_queue.hpp"

namespace solvera::cloud {

// Lets completions on the client's thread reach the context only while the upstream exists.
struct HttpUpstream::Gate {
  std::mutex mutex;
  asio::io_context* context = nullptr;  // guarded by mutex; cleared at destruction

  template <typename F>
  void post(F&& work) {
    std::lock_guard lock(mutex);
    if (context) asio::post(*context, std::forward<F>(work));
  }
};

namespace {

// One exchange's state, touched only on the context.
struct Pending {
  Pending(asio::io_context& context, Upstream::Done done) : timer(context), done(std::move(done)) {}
  asio::steady_timer timer;
  Upstream::Done done;

  void finish(UpstreamResult result) {
    if (!done) return;  // the other side was first
    auto call = std::move(done);
    done = nullptr;
    timer.cancel();
    call(std::move(result));
  }
};

}  // namespace

HttpUpstream::HttpUpstream(asio::io_context& context, HttpClient& client)
    : client_(client), gate_(std::make_shared<Gate>()) {
  gate_->context = &context;
}

HttpUpstream::HttpUpstream(HttpClient& client)
    : ownQueue_(std::make_unique<SerialQueue>("cloud.upstream")),
      client_(client),
      gate_(std::make_shared<Gate>()) {
  gate_->context = &ownQueue_->context();
}

HttpUpstream::~HttpUpstream() {
  std::lock_guard lock(gate_->mutex);
  gate_->context = nullptr;
}

void HttpUpstream::exchange(const HttpRequest& request, const std::string& fallbackBody,
                            std::chrono::milliseconds waitLimit, Done done) {
  asio::io_context* context = nullptr;
  {
    std::lock_guard lock(gate_->mutex);
    context = gate_->context;
  }
  if (!context) return;
  auto pending = std::make_shared<Pending>(*context, std::move(done));
  pending->timer.expires_after(waitLimit);
  pending->timer.async_wait([pending, fallbackBody](const std::error_code& ec) {
    if (!ec) pending->finish(UpstreamResult{false, 502, fallbackBody});
  });
  // Only the wait holds the pending state: when the context goes, so does the caller's
  // connection, even while the transfer runs on. The gate keeps a late completion from
  // reaching a context that is gone.
  client_.start(request, [gate = gate_, weak = std::weak_ptr<Pending>(pending),
                          fallbackBody](HttpResponse response) {
    gate->post([weak, fallbackBody, response = std::move(response)]() mutable {
      auto pending = weak.lock();
      if (!pending) return;
      UpstreamResult result{!response.timedOut, 502, fallbackBody};
      if (response.status) result.status = *response.status;
      if (response.body) result.body = std::move(*response.body);
      pending->finish(std::move(result));
    });
  });
}

std::string serviceURL(const std::string& baseURL, const std::string& path) {
  std::string base = baseURL;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.empty()) return {};
  return base + path;
}

void exchangeWithService(Upstream& upstream, const HttpRequest& request,
                         const std::string& fallbackBody, std::chrono::milliseconds waitLimit,
                         Upstream::Done done) {
  if (request.url.empty()) return done(UpstreamResult{true, 502, fallbackBody});
  upstream.exchange(request, fallbackBody, waitLimit, std::move(done));
}

}  // namespace solvera::cloud

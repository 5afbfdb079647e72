// Listener, port choice and connections of the HTTP server.
#include "server/static_server.hpp"

#include <fcntl.h>

#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <syslog.h>

#include <array>
#include <cerrno>
#include <thread>

#include "common/main_thread.hpp"
#include "server/audio_routes.hpp"
#include "server/cloud_routes.hpp"
#include "server/dmx_routes.hpp"
#include "server/remote_control.hpp"
#include "server/request_guard.hpp"
#include "server/screen_light.hpp"

namespace solvera {
namespace {

Error toError(const std::error_code& ec) {
  return Error{"NSPOSIXErrorDomain", ec.value(), ec.message()};
}

// One request and one reply; the connection holds the server weakly.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, std::weak_ptr<StaticServer> server)
      : socket_(std::move(socket)),
        server_(std::move(server)),
        chunk_(new char[http::kReadChunkBytes]) {}  // not zero-filled: reads overwrite it

  void receive() {
    socket_.async_read_some(asio::buffer(chunk_.get(), http::kReadChunkBytes), [self = shared_from_this()](
                                                      const std::error_code& ec, std::size_t n) {
      self->received(ec, n);
    });
  }

 private:
  void received(const std::error_code& ec, std::size_t n) {
    auto server = server_.lock();
    if (!server) return cancel();
    request_.append(chunk_.get(), n);
    if (static_cast<std::int64_t>(request_.size()) > StaticServer::kMaxRequestBytes) return cancel();
    bool ended = ec == asio::error::eof;
    if (ec && !ended) return cancel();  // a transport error ends the exchange
    if (http::requestDataIsComplete(request_) || ended) {
      if (request_.empty()) return cancel();
      reply_ = server->response(request_);
      server.reset();
      asio::async_write(socket_, asio::buffer(reply_),
                        [self = shared_from_this()](const std::error_code&, std::size_t) {
                          self->cancel();
                        });
      return;
    }
    receive();
  }

  void cancel() {
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  asio::ip::tcp::socket socket_;
  std::weak_ptr<StaticServer> server_;
  std::unique_ptr<char[]> chunk_;
  std::string request_;
  std::string reply_;
};

}  // namespace

std::shared_ptr<StaticServer> StaticServer::create(Options options) {
  // A connection holds the server weakly and locks it while it answers; when the owner lets
  // go meanwhile, the last reference ends on the server's own queue, which cannot join
  // itself. The destruction then moves to a thread of its own.
  return std::shared_ptr<StaticServer>(new StaticServer(std::move(options)), [](StaticServer* s) {
    if (s->queue_.isCurrent()) {
      std::thread([s] { delete s; }).detach();
    } else {
      delete s;
    }
  });
}

StaticServer::StaticServer(Options options)
    : options_(std::move(options)),
      port_(options_.preferredPort),
      machineHostName_(http::localHostName()),
      queue_("mirowen.server") {
  dmx_ = std::make_unique<DmxRoutes>(*this);
  audio_ = std::make_unique<AudioRoutes>(*this);
  remote_ = std::make_unique<RemoteControl>(*this);
  screenLight_ = std::make_unique<ScreenLight>(*this);
  cloud_ = std::make_unique<CloudProxies>(*this);
}

StaticServer::~StaticServer() {
  // Closing the listener on the queue, then running what is queued, leaves nothing that
  // touches this object behind the thread.
  queue_.sync([this] {
    std::error_code ignored;
    if (listener_) listener_->close(ignored);
  });
  queue_.shutdown();
}

void StaticServer::start(std::function<void()> onReady,
                         std::function<void(const Error&)> onFailure) {
  std::optional<std::error_code> lastError;
  for (int i = 0; i < kPortCandidates; ++i) {
    int candidate = options_.preferredPort + i;
    if (candidate > 65535) break;
    // Creating a listener only opens the socket; the port is bound when it starts, so a port
    // in use shows itself later as a listener failure, not as a reason to try the next one.
    asio::ip::tcp::acceptor acceptor(queue_.context());
    std::error_code ec;
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), static_cast<std::uint16_t>(candidate));
    acceptor.open(asio::ip::tcp::v6(), ec);
    if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
    if (ec) {  // no IPv6 on this machine: IPv4 on every interface
      std::error_code ignored;
      acceptor.close(ignored);
      endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), static_cast<std::uint16_t>(candidate));
      ec.clear();
      acceptor.open(asio::ip::tcp::v4(), ec);
    }
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (ec) {
      lastError = ec;
      continue;
    }
    // Asio opens sockets without close-on-exec; the web view's helper processes would
    // otherwise inherit the listener and hold the port after we quit.
    ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    port_ = static_cast<std::uint16_t>(candidate);
    endpoint_ = endpoint;
    listener_.emplace(std::move(acceptor));
    queue_.post([weak = weak_from_this(), onReady = std::move(onReady),
                 onFailure = std::move(onFailure)]() mutable {
      if (auto self = weak.lock()) self->listen(std::move(onReady), std::move(onFailure));
    });
    return;
  }
  throw ErrorException(lastError ? toError(*lastError) : posixError(EADDRINUSE));
}

void StaticServer::listen(std::function<void()> onReady,
                          std::function<void(const Error&)> onFailure) {
  if (!listener_) return;  // stopped before it could start
  std::error_code ec;
  listener_->bind(endpoint_, ec);
  if (!ec) listener_->listen(asio::socket_base::max_listen_connections, ec);
  if (!ec && port_ == 0) port_ = listener_->local_endpoint(ec).port();
  if (ec) {
    Error error = toError(ec);
    syslog(LOG_ERR, "Solvera server failed: %s", error.message.c_str());
    mainthread::post([onFailure = std::move(onFailure), error] { onFailure(error); });
    return;
  }
  mainthread::post(std::move(onReady));
  acceptNext();
}

void StaticServer::acceptNext() {
  if (!listener_) return;
  listener_->async_accept([weak = weak_from_this()](const std::error_code& ec,
                                                    asio::ip::tcp::socket socket) {
    auto self = weak.lock();
    if (!self || ec == asio::error::operation_aborted || !self->listener_) return;
    if (!ec) {
      self->handle(std::move(socket));
      self->acceptNext();
      return;
    }
    // Out of descriptors and the like: try again shortly rather than spin.
    auto timer = std::make_shared<asio::steady_timer>(self->queue_.context(),
                                                      std::chrono::milliseconds(50));
    timer->async_wait([weak, timer](const std::error_code& waitError) {
      if (auto again = weak.lock(); again && !waitError) again->acceptNext();
    });
  });
}

void StaticServer::handle(asio::ip::tcp::socket socket) {
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
  std::make_shared<Connection>(std::move(socket), weak_from_this())->receive();
}

void StaticServer::stop() {
  queue_.sync([this] {
    if (listener_) {
      std::error_code ignored;
      listener_->close(ignored);
      listener_.reset();
    }
    audio_->stop();
    dmx_->stop();
  });
}

void StaticServer::blackoutDmxOutputs() {
  queue_.sync([this] { dmx_->blackoutDmxOutputs(); });
}

std::string StaticServer::staticResponse(std::string_view path) const {
  return http::staticResponse(path, options_.rootURL, options_.musicLibraryURL);
}

std::string StaticServer::response(std::string_view requestBytes) {
  http::RequestInfo r = http::requestInfo(requestBytes);
  if (auto refused = http::guardResponse(r, machineHostName_)) return *refused;
  const bool get = r.method == "GET";
  const bool post = r.method == "POST";
  auto apiKey = [&r] { return r.header("x-openai-api-key").value_or(""); };

  if (post && r.path == "/dmx") {
    if (auto reply = dmx_->handleDmx(r.body)) return *reply;
  }
  if (auto reply = remote_->handleRemote(r.method, r.path, r.query, r.body)) return *reply;
  if (auto reply = screenLight_->handleScreenLight(r.method, r.path, r.query, r.body)) {
    return *reply;
  }
  if (get && r.path == "/affiliate-profile") {
    if (auto reply = cloud_->handleAffiliateProfile(r.query)) return *reply;
  }
  if (post && r.path == "/marketplace/submissions") {
    auto code = r.header("x-solvera-publisher-code").value_or("");
    if (auto reply = cloud_->handleMarketplaceSubmission(r.body, code)) return *reply;
  }
  if (post && r.path == "/openai/ask-ai") {
    if (auto reply = cloud_->handleOpenAIAskAI(r.body, apiKey())) return *reply;
  }
  if (post && r.path == "/openai/ask-ai-query") {
    if (auto reply = cloud_->handleOpenAIAskAIQuery(r.body, apiKey())) return *reply;
  }
  if (post && r.path == "/openai/session-description") {
    if (auto reply = cloud_->handleOpenAISessionDescription(r.body, apiKey())) return *reply;
  }
  if (post && r.path.starts_with("/audio/")) {
    if (auto reply = audio_->handleAudio(r.path, r.query, r.body)) return *reply;
  }
  if (get && r.path == "/dmx/serial-ports") {
    if (auto reply = dmx_->serialPortsResponse()) return *reply;
  }
  if (get && r.path == "/dmx/limits") return dmx_->limitsResponse(r.query);
  if (get && r.path == "/remote") return staticResponse("/remote.html");
  if (get && r.path == "/screen-light") return staticResponse("/screen-light.html");
  return staticResponse(r.path);
}

}  // namespace solvera

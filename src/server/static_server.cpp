// Listener, port choice and connections of the HTTP server.
#include "server/static_server.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <syslog.h>

#include <array>
#include <cerrno>
#include <thread>

#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "common/random.hpp"
#include "http/event_stream.hpp"
#include "http/request_guard.hpp"
#include "server/audio_routes.hpp"
#include "server/dmx_routes.hpp"
#include "server/session_routes.hpp"

namespace solvera {
namespace {

Error toError(const std::error_code& ec) {
  return Error{kPosixErrorDomain, ec.value(), ec.message()};
}

Peer peerOf(const asio::ip::tcp::socket& socket) {
  std::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (ec) return Peer{"", false};
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return Peer{address.to_string(), address.is_loopback()};
}

class Connection;

}  // namespace

// Every open connection of the server, oldest first, and what they share. Lives on the queue.
class ConnectionTable {
 public:
  explicit ConnectionTable(ConnectionLimits limits)
      : limits_(limits), readBuffer_(new char[http::kReadChunkBytes]) {}

  const ConnectionLimits& limits() const { return limits_; }
  // One read buffer serves every connection: reads happen one at a time on the queue, so a
  // waiting connection holds no buffer of its own.
  asio::mutable_buffer readBuffer() {
    return asio::buffer(readBuffer_.get(), http::kReadChunkBytes);
  }

  // Makes room for a new connection from peer by closing the oldest idle ones; false when the
  // newcomer must be turned away instead.
  bool admit(const Peer& peer);
  void add(Connection* c) { connections_.push_back(c); }
  void remove(Connection* c) { std::erase(connections_, c); }
  // Ends every connection, streams and kept-alive ones alike (the server stops): their clients
  // see the end at once, and no request is answered after the stop.
  void closeAll();
  // After the stop nothing on the queue may take hold of the server again: the owner's last
  // reference must end the server on the owner's thread, before the owner goes on.
  bool closed() const { return closed_; }

 private:
  bool closeOldestIdle(const std::function<bool(const Connection&)>& which);

  ConnectionLimits limits_;
  std::unique_ptr<char[]> readBuffer_;
  std::vector<Connection*> connections_;  // in order of acceptance
  bool closed_ = false;
};

namespace {

// Whether the server stopped (or is gone): then a handler still on the queue does nothing.
bool stopped(const std::weak_ptr<ConnectionTable>& table) {
  auto held = table.lock();
  return !held || held->closed();
}

// One request and one reply. The connection holds the server weakly; while it waits for a
// proxy, the reply callback holds the connection.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;

  Connection(asio::ip::tcp::socket socket, std::weak_ptr<StaticServer> server,
             std::weak_ptr<ConnectionTable> table, Peer peer)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        server_(std::move(server)),
        table_(std::move(table)),
        peer_(std::move(peer)),
        accepted_(Clock::now()),
        lastActivity_(accepted_) {}

  ~Connection() {
    if (stream_) stream_->detach();
    if (auto table = table_.lock()) table->remove(this);
  }

  void start(ConnectionTable& table) {
    table.add(this);
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
    armTimer(accepted_ + table.limits().headTimeout);
    waitForBytes();
  }

  const Peer& peer() const { return peer_; }
  // Still reading its request: may be closed to make room.
  bool idle() const { return state_ == State::receiving; }
  Clock::time_point lastActivity() const { return lastActivity_; }

  void close() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    if (stream_) stream_->detach();
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (auto table = table_.lock()) table->remove(this);
  }

 private:
  enum class State { receiving, answering, writing, streaming, closed };

  void waitForBytes() {
    socket_.async_wait(
        asio::ip::tcp::socket::wait_read,
        [self = shared_from_this()](const std::error_code& ec) { self->readable(ec); });
  }

  void readable(const std::error_code& waitError) {
    if (state_ != State::receiving) return;
    auto table = table_.lock();
    if (waitError || !table || server_.expired()) return close();
    asio::mutable_buffer buffer = table->readBuffer();
    std::error_code ec;
    std::size_t n = socket_.read_some(buffer, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return waitForBytes();
    bool ended = ec == asio::error::eof;
    if (ec && !ended) return close();  // a transport error ends the exchange
    lastActivity_ = Clock::now();
    bool headBefore = framing_.headComplete();
    bool complete = framing_.append({static_cast<const char*>(buffer.data()), n});
    if (static_cast<std::int64_t>(framing_.bytes().size()) > StaticServer::kMaxRequestBytes) {
      return close();
    }
    if (complete || ended) {
      if (framing_.bytes().empty()) return close();
      return answer();
    }
    if (!headBefore && framing_.headComplete())
      armTimer(accepted_ + table->limits().requestTimeout);
    waitForBytes();
  }

  void answer() {
    if (stopped(table_)) return close();
    auto server = server_.lock();
    if (!server) return close();
    state_ = State::answering;
    timer_.cancel();  // a proxy keeps its own limits
    std::string request = framing_.release();
    server->respond(request, peer_, [self = shared_from_this()](http::Response response) {
      self->send(std::move(response));
    });
  }

  void send(http::Response response) {
    if (state_ != State::answering) return;
    if (response.events) return startStream(std::move(response));
    state_ = State::writing;
    response_ = std::move(response);
    write(asio::buffer(response_.bytes));
  }

  void write(asio::const_buffer piece) {
    if (auto table = table_.lock()) armTimer(Clock::now() + table->limits().writeIdleTimeout);
    asio::async_write(socket_, piece,
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                        if (ec || self->state_ != State::writing) return self->close();
                        self->writeNextPiece();
                      });
  }

  // The file of a static reply goes out a piece at a time, read only as the peer takes it.
  void writeNextPiece() {
    const auto& file = response_.file;
    if (!file || fileOffset_ >= file->length) return close();
    if (!pieceBuffer_) pieceBuffer_.reset(new char[kFilePieceBytes]);
    auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kFilePieceBytes, file->length - fileOffset_));
    ssize_t n;
    do {
      n = ::pread(file->fd, pieceBuffer_.get(), want, static_cast<off_t>(fileOffset_));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return close();  // the file shrank or failed: the peer sees a short body
    fileOffset_ += static_cast<std::uint64_t>(n);
    write(asio::buffer(pieceBuffer_.get(), static_cast<std::size_t>(n)));
  }

  void armTimer(Clock::time_point deadline, void (Connection::*onExpiry)() = &Connection::close) {
    timer_.expires_at(deadline);
    timer_.async_wait([weak = weak_from_this(), onExpiry](const std::error_code& ec) {
      if (ec) return;
      if (auto self = weak.lock()) (self.get()->*onExpiry)();
    });
  }

  // A reply that stays open: the head, then the stream's events as they come and a comment
  // when nothing else went out for a while, until the client goes, the stream ends or the
  // server stops. Every write is asynchronous and a stream keeps only its latest events, so
  // a reader that takes nothing holds neither the queue nor memory; one that takes nothing
  // for the write limit is closed.
  void startStream(http::Response response) {
    auto table = table_.lock();
    if (!table) return close();
    state_ = State::streaming;
    stream_ = std::move(response.events);
    streamOut_ = std::move(response.bytes);
    std::weak_ptr<Connection> weak = weak_from_this();
    stream_->attach([weak, executor = socket_.get_executor()] {
      asio::post(executor, [weak] {
        if (auto self = weak.lock()) self->flushStream();
      });
    });
    streamOut_ += stream_->take().bytes;
    writeStream();
    watchForClientEnd();
  }

  void writeStream() {
    auto table = table_.lock();
    if (!table) return close();
    streamWriting_ = true;
    armTimer(Clock::now() + table->limits().writeIdleTimeout);
    asio::async_write(socket_, asio::buffer(streamOut_),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                        if (ec || self->state_ != State::streaming) return self->close();
                        self->streamWriting_ = false;
                        self->lastActivity_ = Clock::now();
                        self->flushStream();
                      });
  }

  void flushStream() {
    if (state_ != State::streaming || streamWriting_) return;
    http::EventStream::Taken taken = stream_->take();
    if (taken.finished) return close();
    if (!taken.bytes.empty()) {
      streamOut_ = std::move(taken.bytes);
      return writeStream();
    }
    if (auto table = table_.lock()) {
      armTimer(lastActivity_ + table->limits().keepAliveInterval, &Connection::keepAlive);
    }
  }

  void keepAlive() {
    if (state_ != State::streaming || streamWriting_) return;
    streamOut_ = http::kKeepAliveComment;
    writeStream();
  }

  // A client that goes shows itself as the end of its side (or an error); what it sends
  // meanwhile is read and dropped.
  void watchForClientEnd() {
    socket_.async_wait(asio::ip::tcp::socket::wait_read,
                       [self = shared_from_this()](const std::error_code& ec) {
                         if (self->state_ != State::streaming) return;
                         auto table = self->table_.lock();
                         if (ec || !table) return self->close();
                         std::error_code readError;
                         std::size_t n = self->socket_.read_some(table->readBuffer(), readError);
                         if (readError == asio::error::would_block ||
                             readError == asio::error::try_again) {
                           return self->watchForClientEnd();
                         }
                         if (readError || n == 0) return self->close();
                         self->watchForClientEnd();
                       });
  }

  static constexpr std::size_t kFilePieceBytes = 65536;

  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  std::weak_ptr<StaticServer> server_;
  std::weak_ptr<ConnectionTable> table_;
  Peer peer_;
  State state_ = State::receiving;
  Clock::time_point accepted_;
  Clock::time_point lastActivity_;
  http::RequestFraming framing_;
  http::Response response_;
  std::uint64_t fileOffset_ = 0;
  std::unique_ptr<char[]> pieceBuffer_;
  std::shared_ptr<http::EventStream> stream_;
  std::string streamOut_;  // being written
  bool streamWriting_ = false;
};

}  // namespace

bool ConnectionTable::closeOldestIdle(const std::function<bool(const Connection&)>& which) {
  Connection* oldest = nullptr;
  for (Connection* c : connections_) {
    if (!c->idle() || !which(*c)) continue;
    if (!oldest || c->lastActivity() < oldest->lastActivity()) oldest = c;
  }
  if (!oldest) return false;
  oldest->close();  // removes it from the table
  return true;
}

void ConnectionTable::closeAll() {
  closed_ = true;
  const std::vector<Connection*> open = connections_;
  for (Connection* c : open) c->close();  // each removes itself
}

bool ConnectionTable::admit(const Peer& peer) {
  if (!peer.loopback) {
    auto samePeer = [&peer](const Connection& c) { return c.peer().address == peer.address; };
    auto fromPeer =
        static_cast<std::size_t>(std::count_if(connections_.begin(), connections_.end(),
                                               [&](const Connection* c) { return samePeer(*c); }));
    if (fromPeer >= limits_.maxConnectionsPerPeer && !closeOldestIdle(samePeer)) return false;
  }
  if (connections_.size() < limits_.maxConnections) return true;
  if (closeOldestIdle([](const Connection&) { return true; })) return true;
  return peer.loopback && connections_.size() < limits_.maxConnections + limits_.loopbackReserve;
}

std::shared_ptr<StaticServer> StaticServer::create(Options options,
                                                   const RouteFactory& makeRoutes) {
  // A connection holds the server weakly and locks it while it answers; when the owner lets
  // go meanwhile, the last reference ends on the server's own queue, which cannot join
  // itself. The destruction then moves to a thread of its own.
  auto* server = new StaticServer(std::move(options), makeRoutes);
  return std::shared_ptr<StaticServer>(server, [](StaticServer* s) {
    if (s->queue_.isCurrent()) {
      std::thread([s] { delete s; }).detach();
    } else {
      delete s;
    }
  });
}

struct StaticServer::Listener {
  Listener(asio::ip::tcp::acceptor acceptor, asio::ip::tcp::endpoint endpoint)
      : acceptor(std::move(acceptor)), endpoint(std::move(endpoint)) {}
  static void handle(StaticServer& server, asio::ip::tcp::socket socket);

  asio::ip::tcp::acceptor acceptor;
  asio::ip::tcp::endpoint endpoint;
};

StaticServer::StaticServer(Options options, const RouteFactory& makeRoutes)
    : options_(std::move(options)),
      port_(options_.preferredPort),
      machineHostName_(http::localHostName()),
      controlToken_(randomHexToken()),
      spareDescriptor_(::open("/dev/null", O_RDONLY | O_CLOEXEC)),
      queue_("mirowen.server"),
      connections_(std::make_shared<ConnectionTable>(options_.limits)),
      routes_(makeRoutes(RouteContext{queue_, [this] { return port(); }, options_.rootURL,
                                      options_.musicLibraryURL})),
      table_(makeTable()) {}

StaticServer::~StaticServer() {
  // Closing the listener on the queue, then running what is queued, leaves nothing that
  // touches this object behind the thread.
  queue_.sync([this] {
    std::error_code ignored;
    if (listener_) listener_->acceptor.close(ignored);
    connections_->closeAll();
  });
  queue_.shutdown();
  if (spareDescriptor_ >= 0) ::close(spareDescriptor_);
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
    listener_ = std::make_unique<Listener>(std::move(acceptor), endpoint);
    queue_.post([weak = weak_from_this(), table = std::weak_ptr(connections_),
                 onReady = std::move(onReady), onFailure = std::move(onFailure)]() mutable {
      if (stopped(table)) return;
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
  listener_->acceptor.bind(listener_->endpoint, ec);
  if (!ec) listener_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec && port_ == 0) port_ = listener_->acceptor.local_endpoint(ec).port();
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
  listener_->acceptor.async_accept([weak = weak_from_this(), table = std::weak_ptr(connections_)](
                                       const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped(table)) return;
    auto self = weak.lock();
    if (!self || !self->listener_) return;
    if (!ec) {
      Listener::handle(*self, std::move(socket));
      self->acceptNext();
      return;
    }
    if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
      self->acceptAtDescriptorLimit();
      self->acceptNext();
      return;
    }
    // Out of descriptors and the like: try again shortly rather than spin.
    auto timer = std::make_shared<asio::steady_timer>(self->queue_.context(),
                                                      std::chrono::milliseconds(50));
    timer->async_wait([weak, table, timer](const std::error_code& waitError) {
      if (waitError || stopped(table)) return;
      if (auto again = weak.lock()) again->acceptNext();
    });
  });
}

void StaticServer::Listener::handle(StaticServer& server, asio::ip::tcp::socket socket) {
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
  Peer peer = peerOf(socket);
  if (!server.connections_->admit(peer)) {
    std::error_code ignored;
    socket.close(ignored);
    return;
  }
  auto connection = std::make_shared<Connection>(std::move(socket), server.weak_from_this(),
                                                 server.connections_, std::move(peer));
  connection->start(*server.connections_);
}

// Out of descriptors: the spare one is given up so the waiting connection can be taken off
// the backlog and closed at once, instead of the listener waking up for it again and again.
void StaticServer::acceptAtDescriptorLimit() {
  if (spareDescriptor_ < 0) return;
  ::close(spareDescriptor_);
  int fd = ::accept4(listener_->acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
  spareDescriptor_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void StaticServer::stop() {
  queue_.sync([this] {
    if (listener_) {
      std::error_code ignored;
      listener_->acceptor.close(ignored);
      listener_.reset();
    }
    connections_->closeAll();
    routes_.session->stop();
    routes_.audio->stop();
    routes_.dmx->stop();
  });
}

void StaticServer::blackoutDmxOutputs() {
  queue_.sync([this] { routes_.dmx->blackoutDmxOutputs(); });
}

http::Response StaticServer::staticResponse(std::string_view path) const {
  return http::staticFileResponse(path, options_.rootURL, options_.musicLibraryURL);
}

std::string StaticServer::controlURL() const {
  auto lan = NetworkAddresses(options_.network).localNetworkAddress().value_or("127.0.0.1");
  return pageURL(lan, port(), "/", controlToken_);
}

bool StaticServer::controlAuthorized(const http::RequestInfo& r, const Peer& peer) const {
  // Control paths reach the lamps, the sound, the relay tokens or outside services on the
  // user's behalf; the route table marks them.
  if (peer.loopback || !table_.isControlPath(r.path)) return true;
  auto token = r.header(kControlTokenHeader);
  if (!token && table_.takesQueryToken(r)) token = http::queryValue("token", r.query);
  return token && constantTimeEquals(*token, controlToken_);
}

std::string StaticServer::response(std::string_view requestBytes) {
  // Shared, so a proxy's answer that comes later writes where nobody reads any more.
  auto out = std::make_shared<std::string>();
  respond(requestBytes, Peer{"127.0.0.1", true},
          [out](const http::Response& r) { *out = r.flattened(); });
  return *out;
}

void StaticServer::respond(std::string_view requestBytes, const Peer& peer, Responder done) {
  http::RequestInfo r = http::requestInfo(requestBytes);
  auto now = [&done](std::string bytes) { done(http::Response{std::move(bytes), nullptr}); };
  if (auto refused = http::guardResponse(r, machineHostName_)) return now(*refused);
  if (!controlAuthorized(r, peer)) {
    return now(http::jsonResponse(OrderedJson{{"ok", false}, {"error", "invalid_token"}},
                                  "403 Forbidden"));
  }
  if (table_.dispatch(r, done)) return;
  done(staticResponse(r.path));
}

}  // namespace solvera

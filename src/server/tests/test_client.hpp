// Test helpers: a plain TCP client and a server on an ephemeral port with its own folders.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/static_server.hpp"

namespace solvera::test {

struct Reply {
  std::string bytes;       // everything the server wrote
  bool closedByServer = false;  // the server ended the stream
  bool repliedBeforeLastPiece = false;

  std::string head() const { return bytes.substr(0, bytes.find("\r\n\r\n") + 4); }
  std::string body() const {
    auto at = bytes.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : bytes.substr(at + 4);
  }
  std::string statusLine() const { return bytes.substr(0, bytes.find("\r\n")); }
};

// Sends the pieces one after another (each a separate write, with a sync point between them)
// and reads until the server closes. halfClose ends our side after the last piece.
Reply exchange(std::uint16_t port, const std::vector<std::string>& pieces, bool halfClose = false);
Reply exchange(std::uint16_t port, const std::string& request);

// A connection that stays open until destroyed: sends when told, reads when asked.
class OpenConnection {
 public:
  // To one of this machine's addresses: another than 127.0.0.1 makes a peer from elsewhere.
  explicit OpenConnection(std::uint16_t port, const std::string& host = "127.0.0.1");
  ~OpenConnection();
  OpenConnection(const OpenConnection&) = delete;
  OpenConnection& operator=(const OpenConnection&) = delete;
  void send(const std::string& bytes);
  // Reads until the server ends the stream; bytes empty and closedByServer false when the
  // limit (there only so a fault fails instead of hanging) passes first.
  Reply readToEnd(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // True when the server has closed the connection (without waiting).
  bool closedByServer();
  // Reads at most n bytes of what has arrived, waiting for the first one.
  std::string readSome(std::size_t n);
  // Appends what arrives to `into` until `done(into)` holds (true), or the server closes or
  // the limit passes (false).
  bool readUntil(std::string& into, const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  int fd_ = -1;
};

// "METHOD PATH HTTP/1.1" with Host 127.0.0.1:port, an optional body with Content-Length.
std::string request(const std::string& method, const std::string& target,
                    const std::string& body = "", const std::string& extraHeaders = "");

// A temporary folder removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  void write(const std::filesystem::path& relative, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

// A started server on an ephemeral port serving root/ and library/ of a temporary folder, with
// the program's usual routes.
class RunningServer {
 public:
  explicit RunningServer(StaticServer::Options options = {}, RouteSettings routes = {});
  explicit RunningServer(RouteSettings routes) : RunningServer({}, std::move(routes)) {}
  ~RunningServer();
  StaticServer& server() { return *server_; }
  std::shared_ptr<StaticServer> shared() { return server_; }
  std::uint16_t port() const { return server_->port(); }
  const TempDir& dir() const { return dir_; }
  std::filesystem::path root() const { return dir_.path() / "root"; }
  std::filesystem::path library() const { return dir_.path() / "library"; }
  Reply send(const std::string& bytes) { return exchange(port(), bytes); }

 private:
  TempDir dir_;
  std::shared_ptr<StaticServer> server_;
};

}  // namespace solvera::test

// A stand-in for the content delivery service: a tiny HTTP server on 127.0.0.1 with an
// ephemeral port, answering each path with a reply the test sets.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace solvera::test {

class DownloadServer {
 public:
  struct Reply {
    std::string status = "200 OK";
    std::string body;
    bool hold = false;  // wait for release() before answering
  };

  DownloadServer();
  ~DownloadServer();

  void set(const std::string& path, Reply reply);
  // Lets held replies go out.
  void release();
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::uint16_t port() const { return port_; }
  // The head of every request received so far.
  std::vector<std::string> requests() const;
  // Blocks until at least n requests have arrived (or 10 s passed).
  bool waitForRequests(std::size_t n) const;

 private:
  void serve();
  void answer(int fd);

  int listener_ = -1;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Reply> replies_;
  std::vector<std::string> requests_;
  bool released_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace solvera::test

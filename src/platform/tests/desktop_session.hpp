// Test helpers for the desktop: child processes with their own environment, a private
// session bus, a virtual X display, and a recorder that pages post what they receive to.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json.hpp"

namespace solvera::test {

using Environment = std::map<std::string, std::string>;

// The current environment with changes applied (an empty value removes the variable).
Environment environmentWith(const Environment& changes);

// Checks the condition every interval until it holds (true) or the time-out passes (false),
// for conditions nothing announces: a file's content, another program's answer.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20),
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// The full path of a program on PATH, or nothing.
std::optional<std::string> findProgram(const std::string& name);

// A child process in a process group of its own, its standard output on a pipe; the whole
// group is ended when the object goes.
class Child {
 public:
  // mergeErrors puts standard error on the same pipe.
  Child(const std::vector<std::string>& args, const Environment& environment,
        bool captureOutput = true, bool mergeErrors = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Readable once the child has ended (for a main loop to watch); -1 when not available.
  int exitDescriptor() const { return pidfd_; }
  // One line of standard output without its line feed; nothing at end of stream or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Everything left on standard output until the stream ends (or the time-out).
  std::string readAll(std::chrono::milliseconds timeout);
  // The exit status (128 + signal when killed), or nothing when it is still running.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void signal(int sig);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int pidfd_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

// Runs a program to its end; its exit status and standard output.
struct ToolResult {
  int status = -1;
  std::string output;
};
ToolResult runTool(const std::vector<std::string>& args, const Environment& environment,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A private D-Bus session bus (dbus-daemon).
class SessionBus {
 public:
  SessionBus();
  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  std::optional<Child> daemon_;
  std::string address_;
};

// A virtual X display (Xvfb) on a display number the server picks itself.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(int width = 1600, int height = 1000);
  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // ":N"

 private:
  std::optional<Child> server_;
  std::string name_;
};

// An HTTP listener on 127.0.0.1 that keeps the JSON body of every POST; replies 204 with
// Access-Control-Allow-Origin: *.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  std::uint16_t port() const { return port_; }
  // Waits until predicate(records) holds; false at the time-out.
  bool waitFor(const std::function<bool(const std::vector<Json>&)>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::vector<Json> records();

 private:
  void serve();
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Json> records_;
  std::thread thread_;
};

}  // namespace solvera::test

// The headband bridge: a child process whose event lines are batched into the page, with
// its own life cycle reported to the page as status events.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge_lines.hpp"
#include "common/clock.hpp"
#include "platform/page_bridge.hpp"
#include "platform/platform.hpp"

namespace solvera {

class MuseBridge : public std::enable_shared_from_this<MuseBridge> {
 public:
  static constexpr std::size_t kMaxPendingLines = 5000;
  static constexpr std::size_t kMaxLinesPerFlush = 1200;
  static constexpr std::chrono::milliseconds kFlushDelay{250};
  static constexpr const char* kBridgeName = "SolveraMuseBridge";
  static constexpr const char* kProductCode = "audio-light";

  // Runs work on the main thread after a delay.
  using Scheduler = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

  struct Options {
    std::optional<std::string> productCode;
    std::optional<std::filesystem::path> resourceDir;
    const Clock* clock = &systemClock();
    Scheduler schedule;  // empty: the main loop's timer
    std::string processName = kBridgeName;  // what orphan cleanup looks for
    // A bridge that ignores the termination request is killed after this long.
    std::chrono::milliseconds killGrace{3000};
    // Also told each batch the page is given, with or without a page.
    std::function<void(const std::vector<std::string_view>&)> onEvents;
  };

  static std::shared_ptr<MuseBridge> create(WebViewProvider webView, Options options);
  // Ends a held bridge (termination request); nothing is reported.
  ~MuseBridge();

  // All on the main thread.
  void terminateOrphanedMuseBridgeProcessesIfNeeded();
  void startMuseBridgeIfNeeded();
  void restartMuseBridge();
  void stopMuseBridge();
  void consumeMuseBridgeOutput(std::string_view data);
  void flushMuseBridgeEvents();
  void injectMuseBridgeStatus(const std::string& status, const std::string& message);

  // The first executable of the two bridge locations in the resource folder.
  std::optional<std::filesystem::path> bridgeExecutable() const;

  // State, readable by tests.
  bool hasProcess() const { return process_ != nullptr; }
  std::optional<pid_t> processId() const;
  const std::deque<std::string>& pendingLines() const { return museBridgePendingLines_; }
  std::size_t bufferedBytes() const { return museBridgeOutputBuffer_.bufferedBytes(); }
  std::size_t droppedLines() const { return museBridgeOutputBuffer_.droppedLines(); }
  bool flushScheduled() const { return museBridgeFlushScheduled_; }
  std::size_t observedExits() const { return observedExits_; }

 private:
  struct Process;
  friend struct MuseBridgeCallbacks;

  MuseBridge(WebViewProvider webView, Options options);
  bool productEnabled() const;
  void scheduleMuseBridgeFlush();
  // The bridge exited; called once per process, on the main thread.
  void processExited(const std::shared_ptr<Process>& process);
  // Stops reading the process's output and sends it the termination request.
  void detachAndTerminate(const std::shared_ptr<Process>& process);

  WebViewProvider webView_;
  Options options_;
  std::shared_ptr<Process> process_;  // museBridgeProcess
  BridgeLineBuffer museBridgeOutputBuffer_;
  std::deque<std::string> museBridgePendingLines_;
  bool museBridgeFlushScheduled_ = false;
  std::size_t observedExits_ = 0;
};

}  // namespace solvera

// The headband bridge process over GSubprocess: asynchronous pipe reads and exit waits on
// the main loop, so every piece of state here is touched on the main thread only.
#include "bridge/muse_bridge.hpp"

#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "platform/processes.hpp"

namespace solvera {
namespace fs = std::filesystem;

struct MuseBridge::Process {
  Process() : reads(g_cancellable_new()) {}
  ~Process() {
    g_cancellable_cancel(reads);
    g_object_unref(reads);
    if (subprocess) g_object_unref(subprocess);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  GSubprocess* subprocess = nullptr;
  GCancellable* reads;  // cancelling it drops both pipes
  bool exited = false;
  bool reportExit = true;  // the termination handler is attached
  int exitStatus = 0;
  std::vector<std::function<void()>> exitWaiters;
};

// The GLib callbacks: each owns a small heap record that keeps the process alive while the
// operation is pending and holds the bridge weakly.
struct MuseBridgeCallbacks {
  struct ReadOp {
    std::weak_ptr<MuseBridge> bridge;
    std::shared_ptr<MuseBridge::Process> process;
    GInputStream* stream;  // owned by the subprocess
    bool forward;          // standard output; standard error is read and dropped
  };
  struct WaitOp {
    std::weak_ptr<MuseBridge> bridge;
    std::shared_ptr<MuseBridge::Process> process;
  };

  static void read(ReadOp* op) {
    g_input_stream_read_bytes_async(op->stream, gsize{64} * 1024, G_PRIORITY_DEFAULT,
                                    op->process->reads, onRead, op);
  }

  static void onRead(GObject* source, GAsyncResult* result, gpointer data) {
    auto* op = static_cast<ReadOp*>(data);
    GBytes* bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, nullptr);
    gsize size = bytes ? g_bytes_get_size(bytes) : 0;
    if (size == 0 || g_cancellable_is_cancelled(op->process->reads)) {
      if (bytes) g_bytes_unref(bytes);
      // Closing our end makes a bridge that keeps writing fail instead of blocking.
      g_input_stream_close(op->stream, nullptr, nullptr);
      delete op;
      return;
    }
    if (op->forward) {
      if (auto bridge = op->bridge.lock()) {
        bridge->consumeMuseBridgeOutput(
            std::string_view(static_cast<const char*>(g_bytes_get_data(bytes, nullptr)), size));
      }
    }
    g_bytes_unref(bytes);
    read(op);
  }

  static void onExit(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<WaitOp> op(static_cast<WaitOp*>(data));
    GSubprocess* subprocess = G_SUBPROCESS(source);
    g_subprocess_wait_finish(subprocess, result, nullptr);
    auto& process = *op->process;
    process.exited = true;
    if (g_subprocess_get_if_exited(subprocess)) {
      process.exitStatus = g_subprocess_get_exit_status(subprocess);
    } else if (g_subprocess_get_if_signaled(subprocess)) {
      process.exitStatus = g_subprocess_get_term_sig(subprocess);
    }
    auto waiters = std::move(process.exitWaiters);
    if (auto bridge = op->bridge.lock()) {
      ++bridge->observedExits_;
      if (process.reportExit) bridge->processExited(op->process);
    }
    for (auto& waiter : waiters) waiter();
  }
};

std::shared_ptr<MuseBridge> MuseBridge::create(WebViewProvider webView, Options options) {
  return std::shared_ptr<MuseBridge>(new MuseBridge(std::move(webView), std::move(options)));
}

MuseBridge::MuseBridge(WebViewProvider webView, Options options)
    : webView_(std::move(webView)), options_(std::move(options)) {
  if (!options_.clock) options_.clock = &systemClock();
  if (!options_.schedule) {
    options_.schedule = [](std::chrono::milliseconds delay, std::function<void()> work) {
      mainthread::postAfter(delay, std::move(work));
    };
  }
}

MuseBridge::~MuseBridge() {
  if (process_) detachAndTerminate(process_);
}

bool MuseBridge::productEnabled() const {
  return options_.productCode == kProductCode;
}

std::optional<pid_t> MuseBridge::processId() const {
  if (!process_ || process_->exited) return std::nullopt;
  const char* id = g_subprocess_get_identifier(process_->subprocess);
  if (!id) return std::nullopt;
  return static_cast<pid_t>(std::stol(id));
}

std::optional<fs::path> MuseBridge::bridgeExecutable() const {
  if (!options_.resourceDir) return std::nullopt;
  const fs::path dir = *options_.resourceDir / "muse-bridge";
  const fs::path candidates[] = {
      dir / "SolveraMuseBridge.app" / "Contents" / "MacOS" / kBridgeName,
      dir / kBridgeName,
  };
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

void MuseBridge::injectMuseBridgeStatus(const std::string& status, const std::string& message) {
  OrderedJson event;
  event["type"] = "status";
  event["status"] = status;
  event["source"] = "solvera-macos-wrapper";
  event["message"] = message;
  event["receivedAt"] = static_cast<std::int64_t>(options_.clock->wallMs());
  auto text = compactJson(event);
  if (!text) return;
  callPage(webView_, pagecall::museBridgeEvents({*text}));
}

void MuseBridge::terminateOrphanedMuseBridgeProcessesIfNeeded() {
  if (!productEnabled()) return;
  // Only our own user's bridges whose parent is no longer a running copy of the program: a
  // bridge another copy still reads from stays.
  platform::terminateOrphanedProcesses(options_.processName, platform::kInstanceProcessNames);
}

void MuseBridge::startMuseBridgeIfNeeded() {
  if (!productEnabled()) return;
  if (process_) return;
  if (!options_.resourceDir) {
    injectMuseBridgeStatus("unavailable", "Muse bridge resources not found.");
    return;
  }
  auto executable = bridgeExecutable();
  if (!executable) {
    injectMuseBridgeStatus("unavailable", "Muse bridge executable not found.");
    return;
  }

  GSubprocessLauncher* launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
  g_subprocess_launcher_set_cwd(launcher, executable->parent_path().c_str());
  const gchar* argv[] = {executable->c_str(), nullptr};
  GError* error = nullptr;
  GSubprocess* subprocess = g_subprocess_launcher_spawnv(launcher, argv, &error);
  g_object_unref(launcher);
  if (!subprocess) {
    std::string message = error ? error->message : "Could not launch the Muse bridge.";
    g_clear_error(&error);
    injectMuseBridgeStatus("failed", message);
    return;
  }

  auto process = std::make_shared<Process>();
  process->subprocess = subprocess;
  std::weak_ptr<MuseBridge> weak = weak_from_this();
  MuseBridgeCallbacks::read(new MuseBridgeCallbacks::ReadOp{
      weak, process, g_subprocess_get_stdout_pipe(subprocess), true});
  MuseBridgeCallbacks::read(new MuseBridgeCallbacks::ReadOp{
      weak, process, g_subprocess_get_stderr_pipe(subprocess), false});
  g_subprocess_wait_async(subprocess, nullptr, MuseBridgeCallbacks::onExit,
                          new MuseBridgeCallbacks::WaitOp{weak, process});
  process_ = std::move(process);
  injectMuseBridgeStatus("starting", "Muse bridge started.");
}

void MuseBridge::processExited(const std::shared_ptr<Process>& process) {
  if (process_ != process) return;  // stopped or replaced: nothing to report
  process_.reset();
  injectMuseBridgeStatus(
      "stopped", "Muse bridge stopped with status " + std::to_string(process->exitStatus) + ".");
}

void MuseBridge::detachAndTerminate(const std::shared_ptr<Process>& process) {
  g_cancellable_cancel(process->reads);
  if (process->exited) return;
  g_subprocess_send_signal(process->subprocess, SIGTERM);
  // A bridge that ignores the request would otherwise block every later scan.
  std::weak_ptr<Process> weak = process;
  mainthread::postAfter(options_.killGrace, [weak] {
    auto p = weak.lock();
    if (p && !p->exited) g_subprocess_force_exit(p->subprocess);
  });
}

void MuseBridge::restartMuseBridge() {
  museBridgePendingLines_.clear();
  museBridgeOutputBuffer_.clear();
  injectMuseBridgeStatus("scanning", "Muse bridge scan requested.");
  if (!process_) {
    startMuseBridgeIfNeeded();
    return;
  }
  std::shared_ptr<Process> old = process_;
  old->reportExit = false;
  if (old->exited) {
    g_cancellable_cancel(old->reads);
    process_.reset();
    startMuseBridgeIfNeeded();
    return;
  }
  detachAndTerminate(old);
  std::weak_ptr<MuseBridge> weak = weak_from_this();
  std::weak_ptr<Process> weakOld = old;
  old->exitWaiters.push_back([weak, weakOld] {
    auto self = weak.lock();
    if (!self) return;
    if (auto gone = weakOld.lock(); gone && self->process_ == gone) self->process_.reset();
    self->startMuseBridgeIfNeeded();
  });
}

void MuseBridge::stopMuseBridge() {
  if (!process_) return;
  detachAndTerminate(process_);
  process_.reset();
}

void MuseBridge::consumeMuseBridgeOutput(std::string_view data) {
  museBridgeOutputBuffer_.append(data, [this](std::string_view event) {
    museBridgePendingLines_.emplace_back(event);
    if (museBridgePendingLines_.size() > kMaxPendingLines) museBridgePendingLines_.pop_front();
  });
  scheduleMuseBridgeFlush();
}

void MuseBridge::scheduleMuseBridgeFlush() {
  if (museBridgeFlushScheduled_) return;
  museBridgeFlushScheduled_ = true;
  std::weak_ptr<MuseBridge> weak = weak_from_this();
  options_.schedule(kFlushDelay, [weak] {
    if (auto self = weak.lock()) self->flushMuseBridgeEvents();
  });
}

void MuseBridge::flushMuseBridgeEvents() {
  museBridgeFlushScheduled_ = false;
  if (museBridgePendingLines_.empty()) return;
  const std::size_t take = std::min(kMaxLinesPerFlush, museBridgePendingLines_.size());
  std::vector<std::string_view> batch(museBridgePendingLines_.end() - static_cast<long>(take),
                                      museBridgePendingLines_.end());
  std::string script = pagecall::museBridgeEvents(batch);
  if (options_.onEvents) options_.onEvents(batch);
  museBridgePendingLines_.clear();
  callPage(webView_, script);
}

}  // namespace solvera

// Child processes for tests over GSubprocess, ended by the test or by its death.
#include "simulated_bluez.hpp"

#include <signal.h>
#include <sys/prctl.h>

#include <fstream>
#include <stdexcept>

#include "common/main_thread.hpp"

namespace solvera::test {

namespace fs = std::filesystem;

struct TestChild::Reader {
  GDataInputStream* stream = nullptr;
  GCancellable* cancellable = g_cancellable_new();
  std::vector<std::string> lines;
  std::vector<std::int64_t> timesUs;
  bool done = false;
  bool exited = false;
  int status = -1;

  ~Reader() {
    if (stream) g_object_unref(stream);
    g_object_unref(cancellable);
  }

  static void next(std::shared_ptr<Reader> self) {
    auto* hold = new std::shared_ptr<Reader>(std::move(self));
    g_data_input_stream_read_line_async((*hold)->stream, G_PRIORITY_DEFAULT, (*hold)->cancellable,
                                        [](GObject* source, GAsyncResult* result, gpointer data) {
                                          std::unique_ptr<std::shared_ptr<Reader>> held(
                                              static_cast<std::shared_ptr<Reader>*>(data));
                                          auto& reader = **held;
                                          gsize length = 0;
                                          char* line = g_data_input_stream_read_line_finish(
                                              G_DATA_INPUT_STREAM(source), result, &length,
                                              nullptr);
                                          if (!line) {
                                            reader.done = true;
                                            return;
                                          }
                                          reader.timesUs.push_back(g_get_monotonic_time());
                                          reader.lines.emplace_back(line, length);
                                          g_free(line);
                                          next(*held);
                                        },
                                        hold);
  }
};

TestChild::TestChild(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, bool quiet)
    : reader_(std::make_shared<Reader>()) {
  GSubprocessLauncher* launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | (quiet ? G_SUBPROCESS_FLAGS_STDERR_SILENCE : 0)));
  for (const auto& [key, value] : env) {
    g_subprocess_launcher_setenv(launcher, key.c_str(), value.c_str(), TRUE);
  }
  // Should the test process die, its children go with it.
  g_subprocess_launcher_set_child_setup(
      launcher, [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, nullptr);
  std::vector<const gchar*> args;
  for (const auto& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  GError* error = nullptr;
  process_ = g_subprocess_launcher_spawnv(launcher, args.data(), &error);
  g_object_unref(launcher);
  if (!process_) {
    std::string message = error->message;
    g_error_free(error);
    throw std::runtime_error("cannot start " + argv[0] + ": " + message);
  }
  reader_->stream = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_));
  Reader::next(reader_);
  auto* hold = new std::shared_ptr<Reader>(reader_);
  g_subprocess_wait_async(
      process_, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Reader>> held(static_cast<std::shared_ptr<Reader>*>(data));
        g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
        (*held)->exited = true;
        (*held)->status = g_subprocess_get_if_exited(G_SUBPROCESS(source))
                              ? g_subprocess_get_exit_status(G_SUBPROCESS(source))
                              : 128 + g_subprocess_get_term_sig(G_SUBPROCESS(source));
      },
      hold);
}

TestChild::~TestChild() {
  if (!reader_->exited) g_subprocess_force_exit(process_);
  auto reader = reader_;
  mainthread::runUntil([&] { return reader->exited; }, std::chrono::seconds(10));
  g_cancellable_cancel(reader->cancellable);
  mainthread::runUntil([&] { return reader->done; }, std::chrono::seconds(10));
  g_object_unref(process_);
}

const std::vector<std::string>& TestChild::lines() const {
  return reader_->lines;
}

const std::vector<std::int64_t>& TestChild::lineTimesUs() const {
  return reader_->timesUs;
}

int TestChild::pid() const {
  const char* id = g_subprocess_get_identifier(process_);
  return id ? std::atoi(id) : 0;
}

std::optional<std::size_t> TestChild::waitForLine(
    const std::function<bool(const std::string&)>& predicate, std::size_t from,
    std::chrono::milliseconds limit) {
  std::optional<std::size_t> found;
  mainthread::runUntil(
      [&] {
        for (std::size_t i = from; i < reader_->lines.size(); ++i) {
          if (predicate(reader_->lines[i])) return found = i, true;
        }
        from = reader_->lines.size();
        return reader_->done && reader_->exited;
      },
      limit);
  return found;
}

void TestChild::sendSignal(int signal) {
  if (!reader_->exited) g_subprocess_send_signal(process_, signal);
}

std::optional<int> TestChild::waitForExit(std::chrono::milliseconds limit) {
  auto reader = reader_;
  if (!mainthread::runUntil([&] { return reader->exited && reader->done; }, limit)) {
    return std::nullopt;
  }
  return reader->status;
}

SimulatedBluez::SimulatedBluez(const std::vector<std::string>& headbandArgs, bool withBluez) {
  char pattern[] = "/tmp/solvera-bluez-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
  dir_ = pattern;
  daemon_ = std::make_unique<TestChild>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nosyslog",
                               "--address=unix:path=" + (dir_ / "bus").string(),
                               "--print-address=1"},
      std::map<std::string, std::string>{}, true);
  auto line = daemon_->waitForLine([](const std::string& l) { return l.starts_with("unix:"); });
  if (!line) throw std::runtime_error("the private bus did not start");
  address_ = daemon_->lines()[*line];
  if (!withBluez) return;
  std::vector<std::string> argv = {"/usr/bin/python3", SOLVERA_SIMULATED_HEADBAND, "--log",
                                   (dir_ / "headband.log").string()};
  argv.insert(argv.end(), headbandArgs.begin(), headbandArgs.end());
  headband_ = std::make_unique<TestChild>(argv, environment());
  if (!headband_->waitForLine([](const std::string& l) { return l == "ready"; })) {
    throw std::runtime_error("the simulated headband did not start");
  }
}

SimulatedBluez::~SimulatedBluez() {
  headband_.reset();
  daemon_.reset();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string SimulatedBluez::bridgeProgram() const {
  const fs::path link = dir_ / "headband-bridge";
  std::error_code ec;
  if (!fs::is_symlink(link, ec)) fs::create_symlink(SOLVERA_MUSE_BRIDGE, link);
  return link.string();
}

std::vector<std::string> SimulatedBluez::log() const {
  std::vector<std::string> out;
  std::ifstream in(dir_ / "headband.log");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace solvera::test

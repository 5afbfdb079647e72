// The private olad and the recording client.
#include "dmx/tests/ola_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/Logging.h>
#include <ola/client/OlaClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>

#include "dmx/tests/dmx_test_support.hpp"

namespace solvera::dmx::test {
namespace {

// Every plugin olad knows, off: a test daemon must not open serial ports or network sockets.
constexpr const char* kPlugins[] = {"artnet", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet",
                                    "milinst", "opendmx", "openpixelcontrol", "osc", "pathport", "renard",
                                    "sandnet", "shownet", "spi", "stageprofi", "uartdmx", "usbdmx", "usbserial"};

std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool answers(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool oladAvailable(std::string* why) {
  if (std::system("command -v olad >/dev/null 2>&1") != 0) {
    *why = "olad is not installed (scripts/setup.sh installs ola)";
    return false;
  }
  if (::geteuid() == 0 && !::getpwnam("olad")) {
    *why = "olad refuses root and there is no \"olad\" user to start it as";
    return false;
  }
  return true;
}

PrivateOlad::PrivateOlad(unsigned universe) {
  char pattern[] = "/tmp/solvera-olad-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  for (const char* plugin : kPlugins) std::ofstream(dir_ + "/ola-" + plugin + ".conf") << "enabled = false\n";
  std::ofstream(dir_ + "/ola-dummy.conf") << "enabled = true\n";
  // Plugin 1 (dummy), device 1, output port 0.
  std::ofstream(dir_ + "/ola-port.conf") << "1-1-O-0 = " << universe << "\n";
  port_ = freeTcpPort();
}

void PrivateOlad::start() {
  std::vector<std::string> args;
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("olad");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
      (void)::chown(entry.path().c_str(), user->pw_uid, user->pw_gid);
    }
    (void)::chown(dir_.c_str(), user->pw_uid, user->pw_gid);
    args = {"setpriv", "--reuid=olad", "--regid=" + std::to_string(user->pw_gid), "--clear-groups",
            "--pdeathsig=KILL", "olad"};
  } else {
    args = {"olad"};
  }
  for (std::string arg : {"-c", dir_.c_str(), "--no-http", "--no-register-with-dns-sd", "-l", "0", "-r"}) {
    args.push_back(arg);
  }
  args.push_back(std::to_string(port_));
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_ + "/olad.log").c_str(), O_WRONLY | O_CREAT, 0644);
  if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

PrivateOlad::~PrivateOlad() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool PrivateOlad::ready(std::chrono::seconds limit, std::string* why) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pid_ < 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream log(dir_ + "/olad.log");
      *why = "olad did not start: " + std::string(std::istreambuf_iterator<char>(log), {});
      return false;
    }
    if (answers(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling for the daemon's port
  }
  *why = "olad did not answer within the limit";
  return false;
}

void PrivateOlad::stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

struct OlaUniverseWatcher::Impl {
  ola::io::SelectServer select;
  std::unique_ptr<ola::network::TCPSocket> socket;
  std::unique_ptr<ola::client::OlaClient> client;
};

OlaUniverseWatcher::OlaUniverseWatcher(std::uint16_t port, unsigned universe) : impl_(std::make_unique<Impl>()) {
  ola::InitLogging(ola::OLA_LOG_NONE, ola::OLA_LOG_NULL);
  using ola::network::IPV4Address;
  using ola::network::IPV4SocketAddress;
  impl_->socket.reset(ola::network::TCPSocket::Connect(IPV4SocketAddress(IPV4Address::Loopback(), port)));
  if (!impl_->socket) return;
  impl_->client = std::make_unique<ola::client::OlaClient>(impl_->socket.get());
  if (!impl_->client->Setup()) return;
  impl_->select.AddReadDescriptor(impl_->socket.get());
  impl_->client->SetDMXCallback(ola::NewCallback(
      +[](OlaUniverseWatcher* self, const ola::client::DMXMetadata&, const ola::DmxBuffer& buffer) {
        OlaFrame frame{steadyNs(), std::vector<std::uint8_t>(buffer.GetRaw(), buffer.GetRaw() + buffer.Size())};
        std::lock_guard lock(self->mutex_);
        self->frames_.push_back(std::move(frame));
        self->changed_.notify_all();
      },
      this));
  impl_->client->RegisterUniverse(universe, ola::client::REGISTER,
                                  ola::NewSingleCallback(+[](const ola::client::Result&) {}));
  connected_ = true;
  thread_ = std::thread([this] { impl_->select.Run(); });
}

OlaUniverseWatcher::~OlaUniverseWatcher() {
  if (thread_.joinable()) {
    impl_->select.Terminate();
    thread_.join();
  }
  if (impl_->socket) impl_->select.RemoveReadDescriptor(impl_->socket.get());
  if (impl_->client) impl_->client->Stop();
}

bool OlaUniverseWatcher::waitFor(const std::function<bool(const OlaFrame&)>& done, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  std::size_t seen = 0;
  return changed_.wait_for(lock, limit, [&] {
    for (; seen < frames_.size(); ++seen) {
      if (done(frames_[seen])) return true;
    }
    return false;
  });
}

std::vector<OlaFrame> OlaUniverseWatcher::frames() {
  std::lock_guard lock(mutex_);
  return frames_;
}

}  // namespace solvera::dmx::test

// The OLA transport over OLA's streaming client; without the library every request is refused.
#include "dmx/ola_sender.hpp"

#include <charconv>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "common/error.hpp"
#include "dmx/frame_schedule.hpp"
#include "dmx/last_light.hpp"
#include "dmx/serial_sender.hpp"

#ifdef SOLVERA_HAVE_OLA
#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/Logging.h>
#include <ola/client/OlaClient.h>
#include <ola/client/StreamingClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>
#endif

namespace solvera::dmx {
namespace {

constexpr const char* kOlaDomain = "SolveraOla";

Error notRunning() {
  return {kOlaDomain, 503,
          "OLA draait niet: start olad (Open Lighting Architecture) op deze computer, of kies een andere "
          "lichtuitgang."};
}

#ifdef SOLVERA_HAVE_OLA
// The library would otherwise write a line to standard error for every failed connect.
void quietLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { ola::InitLogging(ola::OLA_LOG_NONE, ola::OLA_LOG_NULL); });
}

std::unique_ptr<ola::client::StreamingClient> connect(std::uint16_t port) {
  quietLibrary();
  ola::client::StreamingClient::Options options;
  options.auto_start = false;  // starting a daemon is the user's business, not ours
  options.server_port = port;
  auto client = std::make_unique<ola::client::StreamingClient>(options);
  if (!client->Setup()) return nullptr;
  return client;
}

// One question to olad over a connection of its own, answered within a limit: ask() starts it
// with a callback that stores the answer and terminates the loop.
template <typename Answer, typename Ask>
std::optional<Answer> askOlad(std::uint16_t port, Ask ask) {
  using ola::network::IPV4Address;
  using ola::network::IPV4SocketAddress;
  std::unique_ptr<ola::network::TCPSocket> socket(
      ola::network::TCPSocket::Connect(IPV4SocketAddress(IPV4Address::Loopback(), port)));
  if (!socket) return std::nullopt;
  ola::io::SelectServer select;
  ola::client::OlaClient client(socket.get());
  if (!client.Setup()) return std::nullopt;
  select.AddReadDescriptor(socket.get());
  std::optional<Answer> answer;
  ask(client, answer, select);
  constexpr int kLimitMs = 500;
  for (int waited = 0; !answer && waited < kLimitMs; waited += 10) select.RunOnce(ola::TimeInterval(0, 10'000));
  select.RemoveReadDescriptor(socket.get());
  client.Stop();
  return answer;
}

// Whether olad has the universe; nothing when it did not say within the limit.
std::optional<bool> universeExists(std::uint16_t port, unsigned universe) {
  return askOlad<bool>(port, [universe](ola::client::OlaClient& client, std::optional<bool>& exists,
                                        ola::io::SelectServer& select) {
    client.FetchUniverseInfo(universe, ola::NewSingleCallback(
                                           +[](std::optional<bool>* out, ola::io::SelectServer* loop,
                                               const ola::client::Result& result, const ola::client::OlaUniverse&) {
                                             *out = result.Success();
                                             loop->Terminate();
                                           },
                                           &exists, &select));
  });
}

// Whether olad's universe is dark now; nothing when it did not say.
std::optional<bool> universeDark(std::uint16_t port, unsigned universe) {
  return askOlad<bool>(port, [universe](ola::client::OlaClient& client, std::optional<bool>& dark,
                                        ola::io::SelectServer& select) {
    client.FetchDMX(universe, ola::NewSingleCallback(
                                  +[](std::optional<bool>* out, ola::io::SelectServer* loop,
                                      const ola::client::Result& result, const ola::client::DMXMetadata&,
                                      const ola::DmxBuffer& buffer) {
                                    bool zero = result.Success();
                                    for (unsigned i = 0; zero && i < buffer.Size(); ++i) zero = buffer.Get(i) == 0;
                                    *out = zero;
                                    loop->Terminate();
                                  },
                                  &dark, &select));
  });
}
#endif

}  // namespace

class OlaSender::Transport final : public DmxTransport {
 public:
  static constexpr int kDarkChecks = 5;

  Transport(Clock& clock, std::uint16_t port) : clock_(clock), port_(port), lastLight_(LastLight::Output::Ola) {}

  bool sameStream(const DmxRequest& current, const DmxRequest& next) const override {
    return current.universe == next.universe;
  }
  void select(const DmxRequest& request) override {
    if (universe_ != request.universe) checked_.reset();
    universe_ = request.universe;
  }

  void open() override {
#ifdef SOLVERA_HAVE_OLA
    if (!client_) {
      const std::int64_t now = clock_.monotonicNs();
      if (lastAttemptNs_ && now - *lastAttemptNs_ < kConnectRetryNs) throw ErrorException(lastError_);
      lastAttemptNs_ = now;
      client_ = connect(port_);
      if (!client_) {
        lastError_ = notRunning();
        throw ErrorException(lastError_);
      }
    }
    // A universe olad does not have swallows every frame without a word: say so once.
    if (!checked_ || *checked_ != universe_) {
      auto exists = universeExists(port_, universe_);
      if (exists && !*exists) {
        throw ErrorException(kOlaDomain, 404,
                             "OLA heeft geen universe " + std::to_string(universe_) +
                                 ": koppel in olad eerst een uitgang aan die universe.");
      }
      checked_ = universe_;
    }
#else
    throw ErrorException(kOlaDomain, 501, "Deze versie van het programma is gebouwd zonder OLA.");
#endif
  }

  void write(const Stream& stream, std::span<const std::uint8_t> frame, std::size_t slots, std::int64_t) override {
#ifdef SOLVERA_HAVE_OLA
    if (!client_) throw ErrorException(notRunning());
    ola::DmxBuffer buffer;
    std::vector<std::uint8_t> channels(slots, 0);
    std::copy_n(frame.begin(), std::min(frame.size(), slots), channels.begin());
    buffer.Set(channels.data(), static_cast<unsigned>(channels.size()));
    ola::client::StreamingClient::SendArgs args;
    args.priority = stream.request.priority.value_or(args.priority);
    if (!client_->SendDMX(stream.request.universe, buffer, args)) {
      client_.reset();  // olad went away; a later tick looks for it again
      throw ErrorException(notRunning());
    }
    if (lit_ != stream.request.universe) {
      lit_ = stream.request.universe;
      lastLight_.ola(port_, *lit_);
    }
#else
    (void)stream, (void)frame, (void)slots;
    throw ErrorException(kOlaDomain, 501, "Deze versie van het programma is gebouwd zonder OLA.");
#endif
  }

  void blackout(const Stream* stream) override {
    if (!stream) return;
    try {
      write(*stream, {}, kDmxChannels, 0);
    } catch (const ErrorException&) {
      return;  // Best effort at exit: nothing is left to tell.
    }
#ifdef SOLVERA_HAVE_OLA
    // A frame still unread when the client hangs up can be lost with the connection: the close
    // waits (briefly) until olad shows the universe dark. Another source merged in keeps it lit,
    // so a few tries only.
    for (int i = 0; i < kDarkChecks; ++i) {
      if (universeDark(port_, stream->request.universe).value_or(true)) break;
    }
#endif
  }

  void close() override {
#ifdef SOLVERA_HAVE_OLA
    if (client_) client_->Stop();
    client_.reset();
#endif
    if (lit_) lastLight_.none();
    lit_.reset();
    checked_.reset();
    lastAttemptNs_.reset();
  }

  std::int64_t frameNs(std::size_t slots) const override { return dmxFrameNs(slots); }
  std::size_t shortSlots(std::size_t highest) const override { return serialShortSlots(highest); }

  bool connected() const {
#ifdef SOLVERA_HAVE_OLA
    return client_ != nullptr;
#else
    return false;
#endif
  }

 private:
  Clock& clock_;
  const std::uint16_t port_;
#ifdef SOLVERA_HAVE_OLA
  std::unique_ptr<ola::client::StreamingClient> client_;
#endif
  unsigned universe_ = 0;
  std::optional<unsigned> checked_;  // the universe olad was asked about
  std::optional<std::int64_t> lastAttemptNs_;
  Error lastError_;
  std::optional<unsigned> lit_;
  LastLight::Slot lastLight_;
};

OlaSender::OlaSender(Clock& clock, std::uint16_t port)
    : output_("solvera.ola", kTickPeriod, clock, std::make_unique<Transport>(clock, port)) {}

OlaSender::Status OlaSender::status() {
  return output_.inspect([](const DmxOutputState& state, DmxTransport& transport) {
    Status status;
    if (state.stream) status.universe = state.stream->request.universe;
    status.connected = static_cast<Transport&>(transport).connected();
    status.timerRunning = state.timerRunning;
    status.schedule = state.schedule;
    return status;
  });
}

bool OlaSender::available() {
#ifdef SOLVERA_HAVE_OLA
  return true;
#else
  return false;
#endif
}

std::uint16_t OlaSender::portFromEnvironment() {
  const char* text = std::getenv("SOLVERA_OLA_PORT");
  if (!text || !*text) return kDefaultPort;
  unsigned value = 0;
  const char* end = text + std::char_traits<char>::length(text);
  auto [last, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && last == end && value > 0 && value < 65536 ? static_cast<std::uint16_t>(value)
                                                                          : kDefaultPort;
}

double OlaSender::maxFramesPerSecond(std::size_t slots) { return 1e9 / static_cast<double>(dmxFrameNs(slots)); }

bool darkenOlaUniverse(std::uint16_t port, unsigned universe) {
#ifdef SOLVERA_HAVE_OLA
  auto client = connect(port);
  if (!client) return false;
  ola::DmxBuffer black;
  black.Blackout();
  const bool sent = client->SendDmx(universe, black);
  // As at blackout: the frame must be in before the connection goes.
  for (int i = 0; sent && i < OlaSender::Transport::kDarkChecks; ++i) {
    if (universeDark(port, universe).value_or(true)) break;
  }
  client->Stop();
  return sent;
#else
  (void)port, (void)universe;
  return false;
#endif
}

}  // namespace solvera::dmx

// Remote-control relay under "/remote/" between the control page and a phone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "common/clock.hpp"
#include "common/json.hpp"
#include "server/network_addresses.hpp"

namespace solvera {

class RemoteControl {
 public:
  static constexpr std::size_t kMaxQueuedCommands = 80;
  // The queue also keeps to a byte budget (the newest command always stays), so a few large
  // commands cannot make every poll a reply of many megabytes.
  static constexpr std::size_t kMaxQueuedCommandBytes = std::size_t{1024} * 1024;
  // Deeper command values are refused: a few thousand levels would overflow the server's stack.
  static constexpr std::size_t kMaxValueDepth = 64;
  // The state a phone sees until the control page posts its own or the program has settings
  // of its own.
  static constexpr std::string_view kDefaultState =
      R"({"ok":true,"updatedAt":0,"connected":false,)"
      R"("session":{"title":"Solvera Pro","timer":"--:--","running":false,"paused":false},)"
      R"("output":{"enabled":false,"blackout":false},)"
      R"("controls":{"masterVolume":100,"rgbIntensity":0,"whiteIntensity":25},)"
      R"("audio":{"enabled":false,"musicPlaying":false}})";

  // A phone counts as connected while its last poll is at most clientTimeoutMs old.
  RemoteControl(NetworkSources network, const Clock& clock, PortSource port,
                double clientTimeoutMs);
  ~RemoteControl();

  // A reply, or nothing when the request is not one of these endpoints.
  std::optional<std::string> handleRemote(const std::string& method, const std::string& path,
                                          const std::string& query, const std::string& body);

  const std::string& token() const { return remoteToken_; }

  // The members the program knows (its session, blackout, its settings' switches), laid
  // over the page's document for as long as it has them; nothing: the page's document as
  // posted. On the server queue.
  void setProgramState(std::optional<OrderedJson> members);
  // Told of every command queued, after it was queued, on the server queue: the program
  // carries out what it owns, so a phone works with no control page open.
  void setCommandHandler(std::function<void(const OrderedJson& command)> handler) {
    commandHandler_ = std::move(handler);
  }

 private:
  struct Command {
    std::int64_t id;
    OrderedJson record;  // id, type, createdAt and, when posted, value
    std::size_t bytes;   // the posted body's size, counted against the budget
  };

  bool remoteAuthorized(const std::string& query) const;
  bool connected(double now) const;
  std::string commandsResponse(const std::string& query) const;
  std::string queueCommand(const std::string& body, double now);
  void updateServedState();

  NetworkAddresses network_;
  const Clock& clock_;
  PortSource port_;
  const double clientTimeoutMs_;
  const std::string remoteToken_;
  // Only touched on the server queue.
  std::string remoteStateData_{kDefaultState};  // as the page posted it
  std::optional<OrderedJson> programState_;
  std::string servedState_{kDefaultState};  // what a phone reads
  std::function<void(const OrderedJson&)> commandHandler_;
  std::deque<Command> remoteCommands_;  // oldest first
  std::size_t remoteCommandBytes_ = 0;
  std::int64_t remoteCommandId_ = 0;    // only grows: trimming never reuses an id
  double remoteClientLastSeenAt_ = 0;
};

}  // namespace solvera

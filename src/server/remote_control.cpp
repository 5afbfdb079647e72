// Remote-control relay: the control page posts its state and collects commands; a phone reads
// the state and queues commands. The server never interprets either.
#include "server/remote_control.hpp"

#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/random.hpp"
#include "http/http.hpp"
#include "server/relay_json.hpp"

namespace solvera {
namespace {

// A decimal integer with an optional sign, and nothing else; anything else counts as 0.
std::int64_t sinceValue(const std::string& query) {
  std::string text = http::queryValue("since", query).value_or("0");
  std::string_view digits = text;
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
    if (digits.starts_with('-')) return 0;
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return value;
}

// Whether a value nests arrays and objects deeper than the limit. Walked without recursion: the
// point is to refuse values that copying and writing (both recursive) could not survive.
bool nestsDeeperThan(const OrderedJson& value, std::size_t limit) {
  std::vector<std::pair<const OrderedJson*, std::size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth > limit) return true;
    for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return false;
}

}  // namespace

RemoteControl::RemoteControl(NetworkSources network, const Clock& clock, PortSource port,
                             double clientTimeoutMs)
    : network_(std::move(network)),
      clock_(clock),
      port_(std::move(port)),
      clientTimeoutMs_(clientTimeoutMs),
      remoteToken_(randomHexToken()) {}

RemoteControl::~RemoteControl() = default;

bool RemoteControl::remoteAuthorized(const std::string& query) const {
  auto token = http::queryValue("token", query);
  return token && constantTimeEquals(*token, remoteToken_);
}

bool RemoteControl::connected(double now) const {
  if (remoteClientLastSeenAt_ <= 0) return false;
  return now - remoteClientLastSeenAt_ <= clientTimeoutMs_;
}

std::optional<std::string> RemoteControl::handleRemote(const std::string& method,
                                                       const std::string& path,
                                                       const std::string& query,
                                                       const std::string& body) {
  const bool get = method == "GET";
  const bool post = method == "POST";

  if (get && path == "/remote/info") {
    const std::uint16_t port = port_();
    return http::jsonResponse(
        OrderedJson{{"ok", true},
                    {"token", remoteToken_},
                    {"lastCommandId", remoteCommandId_},
                    {"url", network_.remoteURL(port, remoteToken_)},
                    {"localUrl", pageURL("127.0.0.1", port, "/remote", remoteToken_)}});
  }
  if (!path.starts_with("/remote/")) return std::nullopt;
  if (!remoteAuthorized(query)) return relay::invalidToken();

  const double now = clock_.wallMs();
  if (get && path == "/remote/state") {
    remoteClientLastSeenAt_ = now;
    return http::httpResponse("200 OK", "application/json", servedState_);
  }
  if (get && path == "/remote/client-status") {
    return http::jsonResponse(OrderedJson{{"ok", true},
                                          {"connected", connected(now)},
                                          {"lastSeenAt", relay::msNumber(remoteClientLastSeenAt_)},
                                          {"now", relay::msNumber(now)}});
  }
  if (post && path == "/remote/state") {
    if (!relay::isJsonDocument(body)) return relay::invalidJson();
    remoteStateData_ = body;
    updateServedState();
    return http::jsonResponse(OrderedJson{{"ok", true}});
  }
  if (get && path == "/remote/commands") return commandsResponse(query);
  if (post && path == "/remote/command") return queueCommand(body, now);
  return std::nullopt;
}

std::string RemoteControl::commandsResponse(const std::string& query) const {
  const std::int64_t since = sinceValue(query);
  OrderedJson commands = OrderedJson::array();
  for (const Command& command : remoteCommands_) {
    if (command.id > since) commands.push_back(command.record);
  }
  return http::jsonResponse(OrderedJson{{"ok", true}, {"commands", std::move(commands)}});
}

std::string RemoteControl::queueCommand(const std::string& body, double now) {
  auto parsed = parseOrderedJson(body);
  const bool typed = parsed && parsed->is_object() && parsed->contains("type") &&
                     (*parsed)["type"].is_string();
  const OrderedJson* value = nullptr;
  if (typed) {
    if (auto it = parsed->find("value"); it != parsed->end()) value = &*it;
  }
  if (!typed || (value && nestsDeeperThan(*value, kMaxValueDepth))) {
    return http::jsonResponse(OrderedJson{{"ok", false}, {"error", "invalid_command"}},
                              "400 Bad Request");
  }
  const std::int64_t id = ++remoteCommandId_;
  OrderedJson record{{"id", id},
                     {"type", (*parsed)["type"]},
                     {"createdAt", static_cast<std::int64_t>(std::trunc(now))}};
  if (value) record["value"] = *value;
  remoteCommands_.push_back({id, std::move(record), body.size()});
  remoteCommandBytes_ += body.size();
  while (remoteCommands_.size() > kMaxQueuedCommands ||
         (remoteCommands_.size() > 1 && remoteCommandBytes_ > kMaxQueuedCommandBytes)) {
    remoteCommandBytes_ -= remoteCommands_.front().bytes;
    remoteCommands_.pop_front();
  }
  if (commandHandler_) commandHandler_(OrderedJson(remoteCommands_.back().record));
  return http::jsonResponse(OrderedJson{{"ok", true}, {"id", id}});
}

void RemoteControl::setProgramState(std::optional<OrderedJson> members) {
  programState_ = std::move(members);
  updateServedState();
}

void RemoteControl::updateServedState() {
  if (!programState_) {
    servedState_ = remoteStateData_;
    return;
  }
  // Only an object can take the program's members; anything else a page posted stays as it is.
  auto page = parseOrderedJson(remoteStateData_);
  if (!page || !page->is_object()) {
    servedState_ = remoteStateData_;
    return;
  }
  for (const auto& [key, value] : programState_->items()) {
    OrderedJson& into = (*page)[key];
    if (into.is_object() && value.is_object()) {
      for (const auto& [inner, v] : value.items()) into[inner] = v;
    } else {
      into = value;
    }
  }
  servedState_ = compactJson(*page).value_or(remoteStateData_);
}

}  // namespace solvera

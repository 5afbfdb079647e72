// Remote-control relay under "/remote/" between the control page and a phone. Not wired in yet: every request falls through.
#include "server/remote_control.hpp"

namespace solvera {

RemoteControl::RemoteControl(StaticServer& server) : server_(server) {}
RemoteControl::~RemoteControl() = default;
std::optional<std::string> RemoteControl::handleRemote(const std::string&, const std::string&,
                                     const std::string&, const std::string&) {
  return std::nullopt;
}

}  // namespace solvera

// Remote-control relay under "/remote/" between the control page and a phone.
#pragma once

#include <optional>
#include <string>

namespace solvera {

class StaticServer;

class RemoteControl {
 public:
  explicit RemoteControl(StaticServer& server);
  ~RemoteControl();

  // A reply, or nothing when the request is not one of these endpoints.
  std::optional<std::string> handleRemote(const std::string& method, const std::string& path,
                                 const std::string& query, const std::string& body);

 private:
  [[maybe_unused]] StaticServer& server_;
};

}  // namespace solvera

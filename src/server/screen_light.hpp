// Screen-light relay under "/screen-light/" between the control page and other screens.
#pragma once

#include <optional>
#include <string>

namespace solvera {

class StaticServer;

class ScreenLight {
 public:
  explicit ScreenLight(StaticServer& server);
  ~ScreenLight();

  // A reply, or nothing when the request is not one of these endpoints.
  std::optional<std::string> handleScreenLight(const std::string& method, const std::string& path,
                                 const std::string& query, const std::string& body);

 private:
  [[maybe_unused]] StaticServer& server_;
};

}  // namespace solvera

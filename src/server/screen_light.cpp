// Screen-light relay under "/screen-light/" between the control page and other screens. Not wired in yet: every request falls through.
#include "server/screen_light.hpp"

namespace solvera {

ScreenLight::ScreenLight(StaticServer& server) : server_(server) {}
ScreenLight::~ScreenLight() = default;
std::optional<std::string> ScreenLight::handleScreenLight(const std::string&, const std::string&,
                                     const std::string&, const std::string&) {
  return std::nullopt;
}

}  // namespace solvera

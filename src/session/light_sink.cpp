// The player's light through the program's light router.
#include "session/light_sink.hpp"

#include "dmx/light_router.hpp"

namespace solvera::session {
namespace {

class RouterLightSink final : public LightSink {
 public:
  explicit RouterLightSink(std::shared_ptr<dmx::LightRouter> router) : router_(std::move(router)) {}
  std::vector<std::optional<Error>> send(const dmx::LightRequest& request) override {
    std::vector<std::optional<Error>> errors;
    for (dmx::LightRouter::Result& result : router_->send(request)) errors.push_back(std::move(result.error));
    return errors;
  }
  void blackout() override { router_->blackoutAll(); }

 private:
  std::shared_ptr<dmx::LightRouter> router_;
};

}  // namespace

std::shared_ptr<LightSink> routerLightSink(std::shared_ptr<dmx::LightRouter> router) {
  return std::make_shared<RouterLightSink>(std::move(router));
}

}  // namespace solvera::session

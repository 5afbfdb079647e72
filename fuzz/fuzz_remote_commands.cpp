// The phone remote's relay: commands and state documents as any page could post them, read
// back as the control page and the phone read them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/clock.hpp"
#include "relay_fuzz_support.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  // A fresh relay per input, so that a finding reproduces from its input alone.
  RemoteControl remote({}, systemClock(), fuzzing::noPort, ScreenLight::kClientTimeoutMs);
  const std::string token = "token=" + remote.token();
  fuzzing::forEachRequest(data, size, [&](unsigned pick, const std::string& text) {
    switch (pick % 5) {
      case 0: return remote.handleRemote("POST", "/remote/command", token, text);
      case 1: return remote.handleRemote("POST", "/remote/state", token, text);
      case 2: return remote.handleRemote("GET", "/remote/commands", token + "&since=" + text, "");
      case 3: return remote.handleRemote("GET", "/remote/state", token, "");
      default: return remote.handleRemote("GET", "/remote/client-status", text, "");
    }
  });
  return 0;
}

// The screen-light relay: state documents as any page could post them, read back as the
// screens read them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/clock.hpp"
#include "relay_fuzz_support.hpp"
#include "server/screen_light.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  // A fresh relay per input, so that a finding reproduces from its input alone.
  ScreenLight light({}, systemClock(), fuzzing::noPort);
  const std::string token = "token=" + light.token();
  fuzzing::forEachRequest(data, size, [&](unsigned pick, const std::string& text) {
    switch (pick % 4) {
      case 0: return light.handleScreenLight("POST", "/screen-light/state", token, text);
      case 1: return light.handleScreenLight("GET", "/screen-light/state", token, "");
      case 2: return light.handleScreenLight("POST", "/screen-light/client-active", text, "");
      default: return light.handleScreenLight("GET", "/screen-light/client-status", token, "");
    }
  });
  return 0;
}

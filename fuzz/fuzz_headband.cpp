// The headband's notifications as the bridge receives them, any bytes on any characteristic:
// nothing crashes, and every event the bridge would write is a JSON object with a type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "bridge/headband/headband_stream.hpp"
#include "common/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  solvera::headband::HeadbandStream stream([](solvera::headband::HeadbandStream::Event e) {
    if (!e.is_object() || !e.contains("type")) std::abort();
    (void)e.dump();
  });
  // Records of one byte (target and length) and the notification's bytes.
  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t head = data[at++];
    const std::size_t length = std::min<std::size_t>(head >> 3, size - at);
    std::span<const std::uint8_t> value(data + at, length);
    at += length;
    switch (head & 7) {
      case 4:
        stream.telemetry(value);
        break;
      case 5:
        stream.control(value);
        break;
      case 6:
        stream.restart();
        break;
      default:
        stream.eeg(head & 3, value);
        break;
    }
  }
  return 0;
}

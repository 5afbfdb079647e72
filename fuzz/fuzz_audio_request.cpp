// Audio requests as "/audio/start" and "/audio/update" receive them, the query text and the
// body (split at the first line break), then two blocks of the tone they ask for: whatever
// arrives, every sample is a finite number within full scale.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "audio/audio_request.hpp"
#include "audio/tone_generator.hpp"
#include "common/error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto split = bytes.find('\n');
  const std::string_view query = split == std::string_view::npos ? "" : bytes.substr(0, split);
  const std::string_view body = split == std::string_view::npos ? bytes : bytes.substr(split + 1);
  AudioRequest request;
  try {
    request = AudioRequest::build(query, body);
  } catch (const ErrorException&) {
    return 0;
  }
  const ToneSettings settings = ToneSettings::validated(request);
  // The stored settings obey the limits whatever was sent.
  if (!(settings.carrier >= 20 && settings.carrier <= kCarrierRangeHz.max) ||
      !(settings.beat >= 0.1 && settings.beat <= 40) ||
      !(settings.volume >= 0 && settings.volume <= 1) ||
      !(settings.balance >= -1 && settings.balance <= 1)) {
    std::abort();
  }
  TonePhases phases;
  Equalizer equalizer;
  PeakLimiter limiter;
  static float block[2 * 256];
  const AudioBuffer buffer{block, 2};
  for (int pass = 0; pass < 2; ++pass) {
    renderTone(settings, phases, equalizer, limiter, 256, AudioBufferList(&buffer, 1));
    for (float sample : block) {
      if (!(std::fabs(sample) <= 1.0f)) std::abort();
    }
  }
  if (!std::isfinite(phases.leftPhase) || !std::isfinite(phases.rightPhase) ||
      !std::isfinite(phases.pulsePhase)) {
    std::abort();
  }
  return 0;
}

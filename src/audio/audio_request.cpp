// Building an AudioRequest from a JSON body or from the literal query text.
#include "audio/audio_request.hpp"

#include <charconv>
#include <map>

#include "common/error.hpp"
#include "common/json.hpp"

namespace solvera {
namespace {

[[noreturn]] void fail(const std::string& message) {
  throw ErrorException("SolveraAudio", 400, message);
}

double requiredNumber(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) fail(std::string("Missing key \"") + key + "\"");
  if (!it->is_number()) fail(std::string("Expected a number for \"") + key + "\"");
  return it->get<double>();
}

std::optional<double> optionalNumber(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_number()) fail(std::string("Expected a number for \"") + key + "\"");
  return it->get<double>();
}

// Name/value pairs as they stand in the target; the first of a repeated name wins, and a
// parameter without "=" is ignored.
std::map<std::string, std::string, std::less<>> queryParameters(std::string_view query) {
  std::map<std::string, std::string, std::less<>> parameters;
  while (!query.empty()) {
    auto end = query.find('&');
    std::string_view pair = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    auto equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    parameters.emplace(std::string(pair.substr(0, equals)), std::string(pair.substr(equals + 1)));
  }
  return parameters;
}

}  // namespace

std::optional<double> parseDecimal(std::string_view text) {
  if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

AudioRequest AudioRequest::fromJson(std::string_view body) {
  std::string parseError;
  auto parsed = parseJson(body, &parseError);
  if (!parsed) fail(parseError);
  const Json& object = *parsed;
  if (!object.is_object()) fail("Expected a JSON object");

  AudioRequest request;
  auto mode = object.find("mode");
  if (mode == object.end()) fail("Missing key \"mode\"");
  if (!mode->is_string()) fail("Expected a string for \"mode\"");
  request.mode = mode->get<std::string>();
  if (auto shape = object.find("pulseShape"); shape != object.end() && !shape->is_null()) {
    if (!shape->is_string()) fail("Expected a string for \"pulseShape\"");
    request.pulseShape = shape->get<std::string>();
  }
  request.carrier = requiredNumber(object, "carrier");
  request.beat = requiredNumber(object, "beat");
  request.volume = requiredNumber(object, "volume");
  request.balance = optionalNumber(object, "balance");
  request.bass = optionalNumber(object, "bass");
  request.mid = optionalNumber(object, "mid");
  request.treble = optionalNumber(object, "treble");
  return request;
}

std::optional<AudioRequest> AudioRequest::fromQuery(std::string_view query) {
  if (query.empty()) return std::nullopt;
  auto parameters = queryParameters(query);
  auto text = [&parameters](std::string_view name) -> const std::string* {
    auto it = parameters.find(name);
    return it == parameters.end() ? nullptr : &it->second;
  };
  const std::string* mode = text("mode");
  const std::string* carrierText = text("carrier");
  const std::string* beatText = text("beat");
  const std::string* volumeText = text("volume");
  if (!mode || !carrierText || !beatText || !volumeText) return std::nullopt;
  auto carrier = parseDecimal(*carrierText);
  auto beat = parseDecimal(*beatText);
  auto volume = parseDecimal(*volumeText);
  if (!carrier || !beat || !volume) return std::nullopt;

  AudioRequest request;
  request.mode = *mode;
  if (const std::string* shape = text("pulseShape")) request.pulseShape = *shape;
  request.carrier = *carrier;
  request.beat = *beat;
  request.volume = *volume;
  // A missing optional reads as "0"; a present one that does not parse becomes absent.
  auto optional = [&text](std::string_view name) {
    const std::string* value = text(name);
    return parseDecimal(value ? *value : std::string_view("0"));
  };
  request.balance = optional("balance");
  request.bass = optional("bass");
  request.mid = optional("mid");
  request.treble = optional("treble");
  return request;
}

AudioRequest AudioRequest::build(std::string_view query, std::string_view body) {
  if (auto fromQueryText = fromQuery(query)) return *fromQueryText;
  return fromJson(body);
}

}  // namespace solvera

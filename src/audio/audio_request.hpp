// The audio command of the web interface: the values exactly as sent, before any range check.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace solvera {

struct AudioRequest {
  std::string mode;
  std::optional<std::string> pulseShape;
  double carrier = 0;
  double beat = 0;
  double volume = 0;
  std::optional<double> balance;
  std::optional<double> bass;
  std::optional<double> mid;
  std::optional<double> treble;

  // Decodes one JSON object; throws ErrorException (domain "SolveraAudio", code 400) on a
  // malformed body, a missing required key or a value of the wrong type.
  static AudioRequest fromJson(std::string_view body);

  // The query form; nothing when a required parameter is missing or does not parse, so that
  // the caller decodes the body instead.
  static std::optional<AudioRequest> fromQuery(std::string_view query);

  // The query form when the query is not empty and complete, else the JSON body.
  static AudioRequest build(std::string_view query, std::string_view body);

  friend bool operator==(const AudioRequest&, const AudioRequest&) = default;
};

// Parses the whole text as a decimal floating-point number (an optional sign, digits, a point,
// an exponent; "inf" and "nan" too). Independent of the process locale.
std::optional<double> parseDecimal(std::string_view text);

}  // namespace solvera

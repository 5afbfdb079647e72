// What a script evaluation in the page gave back.
#pragma once

#include <optional>
#include <string>

#include "common/json.hpp"

namespace solvera::platform {

// Its value (when it is one JSON can hold) or an error.
struct ScriptResult {
  std::optional<Json> value;
  std::optional<std::string> error;  // the localised description, when the script failed

  bool isTrue() const { return value && value->is_boolean() && value->get<bool>(); }
};

}  // namespace solvera::platform

// The JSON types by name, for headers that only pass them on: the whole library costs every
// file that includes it seconds of compiling, so only the files that use it include json.hpp.
#pragma once

#include <nlohmann/json_fwd.hpp>

namespace solvera {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

}  // namespace solvera

// Gnaural schedules (".gnaural", XML): voices with entries of duration, base and beat
// frequency and volumes, read into a session; the reader does no I/O.
#pragma once

#include <string_view>

#include "session/formats/imported_session.hpp"

namespace solvera::session {

// Reads a Gnaural schedule. The first binaural (or isochronic) voice that is not muted gives
// the beat and carrier, the first pink-noise voice the noise; each entry's values glide to the
// next entry's over its duration (the last back to the first), and the schedule repeats as
// often as it says. Other voices and settings are named in notices; a file that is not
// well-formed XML, or whose entries lack their numbers, fails with the line number.
ImportResult readGnaural(std::string_view text, std::string_view fileName);

}  // namespace solvera::session

// SBaGen sequence files (".sbg"): tone-sets, time lines with slides, blocks and options, read
// into a session; the reader does no I/O.
#pragma once

#include <string>
#include <string_view>

#include "session/formats/imported_session.hpp"
#include "session/session_model.hpp"

namespace solvera::session {

// Reads an SBaGen sequence. The first binaural, monaural (two plain tones) or isochronic tone
// of each tone-set becomes the beat and carrier, its first pink, white or brown noise the
// noise; time lines become phases, "->" slides become glides. Anything else is named in a
// notice; a line that cannot be read fails the whole file with its number. `fileName` gives
// the title when the file names none.
ImportResult readSbg(std::string_view text, std::string_view fileName);

// The session's sound as an SBaGen sequence (played with -SE): a tone-set at each phase's
// start and where its glide-in ends, slides between them, the phases named in comments, and a
// comment for what the format cannot carry (light, music, reverb). readSbg reads it back to
// the same phases.
std::string writeSbg(const Session& session);

}  // namespace solvera::session

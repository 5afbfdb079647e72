// The session a command line names: a session file (.svpsession, SBaGen, Gnaural), one of the
// person's own sessions, or a library session.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.hpp"
#include "session/session_model.hpp"
#include "session/settings.hpp"

namespace solvera {

struct NamedSession {
  std::optional<session::Session> session;
  std::string error;  // Dutch, when there is no session
};

// An existing file is read as a session file (what an import cannot carry is noted on
// standard error); otherwise the name is an id, looked for among the person's own sessions
// first (as the page's list shows them), then in the shipped library.
NamedSession loadNamedSession(const std::string& name, const platform::Bundle& bundle,
                              const session::SettingsStore& store);

}  // namespace solvera

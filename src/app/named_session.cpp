// The session a command line names.
#include "app/named_session.hpp"

#include <filesystem>
#include <iostream>

#include "common/files.hpp"
#include "session/formats/render_job.hpp"

namespace solvera {
namespace {

namespace fs = std::filesystem;

// Session files are small; SBaGen and Gnaural files may hold long schedules.
constexpr std::uintmax_t kMaxSessionFileBytes = std::uintmax_t{16} * 1024 * 1024;

}  // namespace

NamedSession loadNamedSession(const std::string& name, const platform::Bundle& bundle,
                              const session::SettingsStore& store) {
  std::error_code ec;
  if (fs::is_regular_file(name, ec)) {
    if (fs::file_size(name, ec) > kMaxSessionFileBytes) return {std::nullopt, "Het sessiebestand is te groot."};
    std::optional<std::string> text = readWholeFile(name);
    if (!text) return {std::nullopt, "Het sessiebestand '" + name + "' kan niet worden gelezen."};
    session::LoadedSession loaded = session::loadSessionText(*text, name);
    for (const session::ImportNotice& notice : loaded.imported.notices) {
      std::cerr << "Let op: " << session::noticeText(notice, true) << "\n";
    }
    if (!loaded.checked) return {std::nullopt, "'" + name + "' kan niet worden gelezen: " + loaded.error};
    return {std::move(loaded.checked), {}};
  }
  const fs::path library = bundle.resourceDir.value_or(".") / "public" / "sessions" / "library.json";
  std::optional<std::string> text = readWholeFile(library);
  session::SessionCheck found =
      session::sessionById(name, text ? session::parseSessionLibrary(*text) : std::vector<session::Session>{},
                           store.ownSessions());
  if (found) return {std::move(found.session), {}};
  if (found.problem.reason != "missing") {
    return {std::nullopt, "De eigen sessie '" + name + "' kan niet worden gespeeld: " + found.problem.message()};
  }
  return {std::nullopt, "Onbekende sessie '" + name +
                            "': er is geen bestand met die naam en geen sessie met die id in de bibliotheek."};
}

}  // namespace solvera

// The update service's reply as any server might send it: decoding, the decision whether to
// tell the user, the alert's texts and the change-log address check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/update_manager.hpp"

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera::update;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // The service is never asked: the manager only supplies this build's version.
  static AppUpdateManager manager("", std::string("2.0.1"), std::string("audio-light"));
  const auto response = UpdateAPIResponse::decode(bytes);
  if (!response) return 0;
  if (response->latestVersion) {
    const std::string& latest = *response->latestVersion;
    // A version order: antisymmetric and reflexive.
    if (sign(compareVersions(latest, "2.0.1")) != -sign(compareVersions("2.0.1", latest))) {
      std::abort();
    }
    if (compareVersions(latest, latest) != 0) std::abort();
  }
  const auto announce = versionToAnnounce(response, manager, std::nullopt, std::nullopt);
  if (announce) {
    if (!response->latestVersion || *announce != *response->latestVersion) std::abort();
    // Shown once per run: the same reply again announces nothing.
    if (versionToAnnounce(response, manager, announce, std::nullopt)) std::abort();
    const auto alert = updateAlertContent("Solvera Pro Audio+Light", *announce, response->message);
    if (alert.buttons.size() != 2) std::abort();
  }
  if (response->changelogURL) (void)isOpenableChangelogURL(*response->changelogURL);
  return 0;
}

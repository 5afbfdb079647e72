// The update check's schedule, decision and alert.
#include "app/update_check.hpp"

namespace solvera {

std::shared_ptr<UpdateCheck> UpdateCheck::create(const platform::Platform& platform) {
  return std::shared_ptr<UpdateCheck>(new UpdateCheck(platform));
}

UpdateCheck::UpdateCheck(const platform::Platform& platform)
    : platform_(platform),
      updateManager_(update::AppUpdateManager::forAppInfo(platform.bundle.info)) {}

void UpdateCheck::checkForUpdate() {
  std::weak_ptr<UpdateCheck> weak = weak_from_this();
  // The first check starts the repeats; the ticks come back here and find them running.
  if (!timer_.isActive()) {
    timer_.start(update::kUpdateCheckInterval, [weak] {
      if (auto self = weak.lock()) self->checkForUpdate();
    });
  }
  updateManager_.check([weak](std::optional<update::UpdateAPIResponse> response) {
    auto self = weak.lock();
    if (!self) return;
    auto acknowledged = self->platform_.preferences.string(update::kAcknowledgedUpdateVersionName);
    auto version = update::versionToAnnounce(response, self->updateManager_,
                                             self->shownUpdateVersion_, acknowledged);
    if (!version) return;
    self->shownUpdateVersion_ = *version;
    self->showUpdateAlert(*version, response->message, response->changelogURL);
  });
}

void UpdateCheck::showUpdateAlert(const std::string& latestVersion,
                                  const std::optional<std::string>& message,
                                  const std::optional<std::string>& changelogURL) {
  auto content = update::updateAlertContent(platform_.bundle.info.productDisplayName(),
                                            latestVersion, message);
  platform_.shell.activate();
  std::weak_ptr<UpdateCheck> weak = weak_from_this();
  platform_.dialogs.runAlert(
      {content.title, content.informativeText, content.buttons},
      [weak, latestVersion, changelogURL](int button) {
        auto self = weak.lock();
        if (!self || button != 0) return;  // "Later": asked again on a later launch
        self->platform_.preferences.setString(update::kAcknowledgedUpdateVersionName,
                                              latestVersion);
        if (changelogURL && update::isOpenableChangelogURL(*changelogURL)) {
          self->platform_.workspace.openURL(*changelogURL);
        }
      });
}

}  // namespace solvera

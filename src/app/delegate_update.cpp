// Delegate operations of the update check: the check at start-up and every 6 hours, the
// decision whether to tell the user, and the alert.
#include "app/app_delegate.hpp"
#include "update/main_thread_timer.hpp"
#include "update/update_manager.hpp"

namespace solvera {

struct AppDelegate::UpdateState {
  explicit UpdateState(const AppInfo& info)
      : updateManager(update::AppUpdateManager::forAppInfo(info)) {}

  update::AppUpdateManager updateManager;
  std::optional<std::string> shownUpdateVersion;  // alerted during this run
  update::MainThreadRepeatingTimer timer;
};

void AppDelegate::checkForUpdate() {
  if (!updateState_) updateState_ = std::make_shared<UpdateState>(platform_.bundle.info);
  UpdateState& state = *updateState_;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  // The first check starts the repeats; the ticks come back here and find them running.
  if (!state.timer.isActive()) {
    state.timer.start(update::kUpdateCheckInterval, [weak] {
      if (auto self = weak.lock()) self->checkForUpdate();
    });
  }
  state.updateManager.check([weak](std::optional<update::UpdateAPIResponse> response) {
    auto self = weak.lock();
    if (!self) return;
    UpdateState& s = *self->updateState_;
    auto acknowledged = self->platform_.preferences.string(update::kAcknowledgedUpdateVersionName);
    auto version =
        update::versionToAnnounce(response, s.updateManager, s.shownUpdateVersion, acknowledged);
    if (!version) return;
    s.shownUpdateVersion = *version;
    self->showUpdateAlert(*version, response->message, response->changelogURL);
  });
}

void AppDelegate::showUpdateAlert(const std::string& latestVersion,
                                  const std::optional<std::string>& message,
                                  const std::optional<std::string>& changelogURL) {
  auto content = update::updateAlertContent(productDisplayName(), latestVersion, message);
  platform_.shell.activate();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
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

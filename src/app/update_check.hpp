// The update check: at start-up and every 6 hours, the decision whether to tell the user, and
// the alert. Made by the front end; the delegate starts it once the server runs.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/main_thread_timer.hpp"
#include "platform/platform.hpp"
#include "update/update_manager.hpp"

namespace solvera {

class UpdateCheck : public std::enable_shared_from_this<UpdateCheck> {
 public:
  static std::shared_ptr<UpdateCheck> create(const platform::Platform& platform);

  // Checks now; the first check starts the repeats.
  void checkForUpdate();
  void showUpdateAlert(const std::string& latestVersion, const std::optional<std::string>& message,
                       const std::optional<std::string>& changelogURL);

 private:
  explicit UpdateCheck(const platform::Platform& platform);

  platform::Platform platform_;
  update::AppUpdateManager updateManager_;
  std::optional<std::string> shownUpdateVersion_;  // alerted during this run
  MainThreadRepeatingTimer timer_;
};

}  // namespace solvera

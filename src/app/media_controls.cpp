// Media keys and the system's media remote commands: all of them toggle breathing coaching.
#include "app/app_delegate.hpp"
#include "common/main_thread.hpp"

namespace solvera {

inline constexpr const char* kNowPlayingTitle = "Ademhalingscoaching";

void AppDelegate::installInputControls() {
  if (inputControlsInstalled_) return;
  inputControlsInstalled_ = true;
  installRemoteCommandHandlers();
  shortcuts_->logInput("inputControls=installed");
}

void AppDelegate::installRemoteCommandHandlers() {
  using Command = platform::MediaRemote::Command;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  // Play, pause and play/pause all toggle breathing coaching; none of them plays anything.
  for (Command command : {Command::play, Command::pause, Command::togglePlayPause}) {
    remoteCommandTargets_.push_back(platform_.mediaRemote.addHandler(command, [weak] {
      mainthread::post([weak] {
        if (auto self = weak.lock()) self->shortcuts_->toggleBreathingCoaching();
      });
    }));
  }
  platform_.mediaRemote.setNowPlaying(kNowPlayingTitle, productDisplayName());
}

void AppDelegate::installMediaKeyMonitor() {
  if (mediaKeyMonitor_) return;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  mediaKeyMonitor_ = platform_.shell.addLocalKeyMonitor([weak](const platform::KeyEvent& event) {
    if (!isMediaPlayKey(event)) return false;
    if (auto self = weak.lock()) self->shortcuts_->toggleBreathingCoaching();
    return true;
  });
}

}  // namespace solvera

// The headless front end: a plain GLib main loop, the ready line, orderly exit on signals.
#include <glib-unix.h>
#include <systemd/sd-daemon.h>

#include <csignal>
#include <iostream>

#include "app/front_end.hpp"
#include "app/play_session.hpp"
#include "common/xdg.hpp"
#include "dmx/last_light.hpp"
#include "platform/gio_workspace.hpp"
#include "platform/headless.hpp"
#include "platform/keyfile_preferences.hpp"

namespace solvera {

int runHeadless(const CommandLine& commandLine, platform::Bundle bundle) {
  if (commandLine.play) return runPlay(commandLine, bundle);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  platform::HeadlessShell shell(loop, std::cout, std::cerr);
  platform::HeadlessDialogs dialogs;
  platform::HeadlessClipboard clipboard;
  platform::GioWorkspace workspace;
  platform::HeadlessMediaRemote mediaRemote;
  platform::KeyFilePreferences preferences(
      xdg::preferencesFile(bundle.info.productDisplayName()));

  // Under a service manager (NOTIFY_SOCKET set) it learns when the page is served and when
  // the lamps are being darkened; elsewhere these calls do nothing.
  shell.setReadyHandler([](const std::string& url) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", url.c_str());
  });
  auto onSignal = [](gpointer data) -> gboolean {
    sd_notify(0, "STOPPING=1");
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_CONTINUE;
  };
  guint sigint = g_unix_signal_add(SIGINT, onSignal, loop);
  guint sigterm = g_unix_signal_add(SIGTERM, onSignal, loop);

  platform::Platform platform{shell,       dialogs,     clipboard,        workspace,
                              mediaRemote, preferences, std::move(bundle)};
  auto delegate = AppDelegate::create(platform, delegateOptions(commandLine, platform));
  delegate->applicationDidFinishLaunching();
  if (shell.exitStatus() == 0) g_main_loop_run(loop);
  delegate->applicationWillTerminate();
  delegate.reset();
  dmx::LastLight::disarm();  // the outputs were darkened in order

  g_source_remove(sigint);
  g_source_remove(sigterm);
  g_main_loop_unref(loop);
  return shell.exitStatus();
}

}  // namespace solvera

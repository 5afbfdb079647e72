// The desktop front end: GTK application, control window, MPRIS media controls, orderly exit.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <iostream>

#include "app/front_end.hpp"
#include "common/xdg.hpp"
#include "dmx/last_light.hpp"
#include "platform/gio_workspace.hpp"
#include "platform/gtk/desktop_dialogs.hpp"
#include "platform/gtk/desktop_shell.hpp"
#include "platform/keyfile_preferences.hpp"
#include "platform/mpris_media_remote.hpp"

namespace solvera {
namespace {

constexpr const char* kApplicationId = SOLVERA_APP_ID;
// MPRIS names follow their own rules: one element, no dots.
constexpr const char* kMprisName = "solvera_pro";

struct Desktop {
  const CommandLine* commandLine = nullptr;
  platform::Bundle bundle;
  GtkApplication* application = nullptr;
  std::unique_ptr<platform::DesktopShell> shell;
  std::unique_ptr<platform::DesktopDialogs> dialogs;
  platform::DesktopClipboard clipboard;
  platform::GioWorkspace workspace;
  std::unique_ptr<platform::MprisMediaRemote> mediaRemote;
  std::unique_ptr<platform::KeyFilePreferences> preferences;
  std::shared_ptr<AppDelegate> delegate;
};

void launch(GApplication*, gpointer data) {
  auto* desktop = static_cast<Desktop*>(data);
  if (desktop->delegate) {
    // Started again while running: the new copy handed over to us and has ended.
    desktop->delegate->applicationShouldHandleReopen();
    return;
  }
  // The delegate decides when the application ends, not the count of its windows.
  g_application_hold(G_APPLICATION(desktop->application));
  std::string name = desktop->bundle.info.productDisplayName();
  desktop->shell = std::make_unique<platform::DesktopShell>(desktop->application, name, &std::cout);
  desktop->dialogs = std::make_unique<platform::DesktopDialogs>(*desktop->shell);
  desktop->mediaRemote =
      std::make_unique<platform::MprisMediaRemote>(name, kMprisName, kApplicationId);
  desktop->preferences =
      std::make_unique<platform::KeyFilePreferences>(xdg::preferencesFile(name));
  platform::Platform platform{*desktop->shell,       *desktop->dialogs,     desktop->clipboard,
                              desktop->workspace,    *desktop->mediaRemote, *desktop->preferences,
                              desktop->bundle};
  desktop->delegate =
      AppDelegate::create(platform, delegateOptions(*desktop->commandLine, platform));
  desktop->shell->setEvents(desktop->delegate);
  desktop->delegate->applicationDidFinishLaunching();
}

}  // namespace

bool desktopAvailable() {
  // The window's class is the application id, so that docks match it to the menu entry.
  g_set_prgname(kApplicationId);
  return platform::startGtk();
}

int runDesktop(const CommandLine& commandLine, platform::Bundle bundle) {
  Desktop desktop;
  desktop.commandLine = &commandLine;
  desktop.bundle = std::move(bundle);
  g_set_application_name(desktop.bundle.info.productDisplayName().c_str());
  // One instance per user session: a second start activates the first (which brings its
  // window forward) and ends before it starts a server or touches the headband bridge.
  desktop.application = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  gtk_window_set_default_icon_name(kApplicationId);
  g_signal_connect(desktop.application, "activate", G_CALLBACK(launch), &desktop);

  auto onSignal = [](gpointer data) -> gboolean {
    auto* d = static_cast<Desktop*>(data);
    if (d->shell) {
      d->shell->terminate();
    } else {
      g_application_quit(G_APPLICATION(d->application));
    }
    return G_SOURCE_CONTINUE;
  };
  guint sigint = g_unix_signal_add(SIGINT, onSignal, &desktop);
  guint sigterm = g_unix_signal_add(SIGTERM, onSignal, &desktop);

  // Our own command line is already parsed; GApplication gets none.
  char* argv[] = {const_cast<char*>("solvera-pro"), nullptr};
  g_application_run(G_APPLICATION(desktop.application), 1, argv);

  if (desktop.delegate) desktop.delegate->applicationWillTerminate();
  desktop.delegate.reset();
  dmx::LastLight::disarm();  // the outputs were darkened in order
  desktop.shell.reset();
  desktop.dialogs.reset();
  desktop.mediaRemote.reset();
  g_source_remove(sigint);
  g_source_remove(sigterm);
  g_object_unref(desktop.application);
  return 0;
}

}  // namespace solvera

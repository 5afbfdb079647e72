// Panels, alerts and the clipboard on GTK 4.
#pragma once

#include "platform/gtk/desktop_shell.hpp"

namespace solvera::platform {

// Open and save panels (GtkFileChooserNative) and alerts, modal to the shell's front window.
class DesktopDialogs : public Dialogs {
 public:
  explicit DesktopDialogs(DesktopShell& shell) : shell_(shell) {}
  void runOpenPanel(const OpenPanelOptions& options,
                    std::function<void(std::vector<std::filesystem::path>)> done) override;
  void runSavePanel(const SavePanelOptions& options,
                    std::function<void(std::optional<std::filesystem::path>)> done) override;
  void runAlert(const AlertSpec& alert, std::function<void(int)> done) override;

 private:
  DesktopShell& shell_;
};

// The general clipboard's plain text (GdkClipboard).
class DesktopClipboard : public Clipboard {
 public:
  void readText(std::function<void(std::string)> done) override;
};

}  // namespace solvera::platform

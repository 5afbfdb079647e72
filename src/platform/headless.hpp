// The desktop services of a machine without a display: the control interface is opened in a
// browser, so the "window" is a line on standard output and the message window a line on
// standard error.
#pragma once

#include <glib.h>

#include <functional>
#include <iosfwd>
#include <string>

#include "platform/platform.hpp"

namespace solvera::platform {

class HeadlessShell : public Shell {
 public:
  HeadlessShell(GMainLoop* loop, std::ostream& out, std::ostream& err)
      : loop_(loop), out_(out), err_(err) {}

  // Prints "<title>: <url>", the ready line, then tells the ready handler.
  std::shared_ptr<WebView> openControlWindow(const ControlWindowSpec& spec) override;
  void setReadyHandler(std::function<void(const std::string& url)> handler) {
    onReady_ = std::move(handler);
  }
  void presentControlWindow() override {}
  // Prints the message and ends the program with status 1.
  void showMessageWindow(const MessageWindowSpec& spec) override;
  void retireMessageWindow() override {}
  void installMainMenu(const std::vector<Menu>&) override {}
  void terminate() override;
  void activate() override {}

  int exitStatus() const { return exitStatus_; }

 private:
  GMainLoop* loop_;
  std::ostream& out_;
  std::ostream& err_;
  int exitStatus_ = 0;
  std::function<void(const std::string&)> onReady_;
};

// No panels headless: every panel is cancelled and every alert answered with its default.
class HeadlessDialogs : public Dialogs {
 public:
  void runOpenPanel(const OpenPanelOptions&,
                    std::function<void(std::vector<std::filesystem::path>)> done) override {
    done({});
  }
  void runSavePanel(const SavePanelOptions&,
                    std::function<void(std::optional<std::filesystem::path>)> done) override {
    done(std::nullopt);
  }
  // The default button would act for the user; "Later"-like answers are the safe choice.
  void runAlert(const AlertSpec& alert, std::function<void(int)> done) override {
    done(static_cast<int>(alert.buttons.empty() ? 0 : alert.buttons.size() - 1));
  }
};

class HeadlessClipboard : public Clipboard {
 public:
  void readText(std::function<void(std::string)> done) override { done(""); }
};

class HeadlessMediaRemote : public MediaRemote {
 public:
  Token addHandler(Command, std::function<void()>) override { return next_++; }
  void removeHandler(Token) override {}
  void setNowPlaying(const std::string&, const std::string&) override {}
  void clearNowPlaying() override {}

 private:
  Token next_ = 1;
};

}  // namespace solvera::platform

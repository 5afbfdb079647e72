// Headless front-end services.
#include "platform/headless.hpp"

#include <ostream>

namespace solvera::platform {

std::shared_ptr<WebView> HeadlessShell::openControlWindow(const ControlWindowSpec& spec) {
  out_ << spec.title << ": " << spec.url << std::endl;
  if (!spec.otherDevicesURL.empty()) out_ << "Vanaf andere apparaten: " << spec.otherDevicesURL << std::endl;
  if (onReady_) onReady_(spec.url);
  return nullptr;
}

void HeadlessShell::showMessageWindow(const MessageWindowSpec& spec) {
  err_ << spec.message << std::endl;
  exitStatus_ = 1;
  terminate();
}

void HeadlessShell::terminate() {
  if (loop_) g_main_loop_quit(loop_);
}

}  // namespace solvera::platform

// The delegate's side of the web view that is plain logic: which links leave for the browser.
// The script messages and page calls are in platform/page_bridge.hpp.
#pragma once

#include <string>

#include "platform/page_bridge.hpp"

namespace solvera {

// Whether a new-window request goes to the default browser: http and https addresses only.
bool opensInDefaultBrowser(const std::string& url);

}  // namespace solvera

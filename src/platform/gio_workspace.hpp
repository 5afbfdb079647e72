// The desktop's default handlers through GIO.
#pragma once

#include "platform/platform.hpp"

namespace solvera::platform {

class GioWorkspace : public Workspace {
 public:
  bool openURL(const std::string& url) override;
  bool openFile(const std::filesystem::path& file) override;
};

}  // namespace solvera::platform

// Process entry of solvera-pro.
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "app/command_line.hpp"
#include "app/front_end.hpp"
#include "common/app_info.hpp"

int main(int argc, char** argv) {
  using namespace solvera;
  CommandLine commandLine;
  try {
    commandLine = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "solvera-pro: " << e.what() << "\n" << usageText();
    return 2;
  }
  if (commandLine.help) {
    std::cout << usageText();
    return 0;
  }
  platform::Bundle bundle;
  bundle.resourceDir = resolveResourceDir(commandLine.resources, executableDir());
  bundle.info = AppInfo::load(bundle.resourceDir.value_or("."));
  if (commandLine.version) {
    std::cout << bundle.info.productDisplayName() << " "
              << bundle.info.shortVersion.value_or(SOLVERA_VERSION) << "\n";
    return 0;
  }
  if (!commandLine.headless) {
#ifdef SOLVERA_HAS_DESKTOP
    if (desktopAvailable()) return runDesktop(commandLine, std::move(bundle));
    std::cerr << "No display found: running headless; open the address below in a browser."
              << std::endl;
#else
    std::cerr << "The desktop window is not available in this build: running headless."
              << std::endl;
#endif
  }
  return runHeadless(commandLine, std::move(bundle));
}

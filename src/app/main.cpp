// Process entry of solvera-pro (the window) and of solvera-pro-headless (no window).
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "app/command_line.hpp"
#include "app/front_end.hpp"
#include "app/render_command.hpp"
#include "common/app_info.hpp"
#include "dmx/last_light.hpp"

namespace {

#ifdef SOLVERA_HAS_DESKTOP
// Runs the headless program in place of this process when it is installed beside us: the
// same process id and arguments, without the window's libraries in memory. Returns only when
// it is not there (the caller then runs headless itself).
void handOverToHeadless(char** argv) {
  std::string headless = (solvera::executableDir() / "solvera-pro-headless").string();
  if (::access(headless.c_str(), X_OK) != 0) return;
  std::cout.flush();
  std::cerr.flush();
  argv[0] = headless.data();
  ::execv(headless.c_str(), argv);
}
#endif

}  // namespace

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
  if (commandLine.render) return runRenderCommand(*commandLine.render, bundle);
#ifdef SOLVERA_HAS_DESKTOP
  if (!commandLine.headless) {
    // Whatever ends this process from here on, the lamps go dark. The watcher is forked before
    // GTK starts its threads; should the headless program take over below, the watcher sees
    // this image go and leaves, with nothing lit to darken.
    dmx::LastLight::install();
    if (desktopAvailable()) return runDesktop(commandLine, std::move(bundle));
    std::cerr << "No display found: running headless; open the address below in a browser."
              << std::endl;
  }
  handOverToHeadless(argv);
#endif
  // Whatever ends this process from here on, the lamps go dark.
  dmx::LastLight::install();
  return runHeadless(commandLine, std::move(bundle));
}

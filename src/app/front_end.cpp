// What the front ends share: the delegate's options and services.
#include "app/front_end.hpp"

#include "app/content_services.hpp"
#include "app/update_check.hpp"
#include "common/xdg.hpp"

namespace solvera {

AppDelegate::Options delegateOptions(const CommandLine& commandLine,
                                     const platform::Platform& platform) {
  AppDelegate::Options options;
  options.port = commandLine.port;
  options.musicLibraryURL = xdg::musicLibraryDir();
  options.content = ContentServices::create(platform, {options.musicLibraryURL, nullptr});
  options.updates = UpdateCheck::create(platform);
  return options;
}

}  // namespace solvera

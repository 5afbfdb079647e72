// Delegate operations of the music library, session files, report printing and the headband
// bridge. Not built yet: they do nothing.
#include "app/app_delegate.hpp"

namespace solvera {

struct AppDelegate::ContentState {};

void AppDelegate::installMusicLibrary() {}
void AppDelegate::installCoreMusicLibraryIfNeeded() {}
void AppDelegate::importSessionFile() {}
void AppDelegate::exportSessionFile(const std::string&, const std::string&) {}
void AppDelegate::printAnalysisReport(const std::string&, const std::string&) {}
void AppDelegate::startMuseBridgeIfNeeded() {}
void AppDelegate::restartMuseBridge() {}
void AppDelegate::stopMuseBridge() {}
void AppDelegate::terminateOrphanedMuseBridgeProcessesIfNeeded() {}

}  // namespace solvera

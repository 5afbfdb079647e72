// Delegate operations of the update check. Not built yet: it does nothing.
#include "app/app_delegate.hpp"

namespace solvera {

struct AppDelegate::UpdateState {};

void AppDelegate::checkForUpdate() {}

}  // namespace solvera

// POSIX errors as user-facing errors.
#include "common/error.hpp"

#include <cstring>

namespace solvera {

Error posixError(int errnoValue, std::string domain) {
  return Error{std::move(domain), errnoValue, std::strerror(errnoValue)};
}

}  // namespace solvera

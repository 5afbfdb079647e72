// The one error type: a domain word, an integer code and a message meant for the user.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace solvera {

struct Error {
  std::string domain;
  int code = 0;
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

// Thrown by operations whose callers cannot go on (a failed send, a start that cannot happen).
class ErrorException : public std::runtime_error {
 public:
  explicit ErrorException(Error error)
      : std::runtime_error(error.message), error_(std::move(error)) {}
  ErrorException(std::string domain, int code, std::string message)
      : ErrorException(Error{std::move(domain), code, std::move(message)}) {}

  const Error& error() const noexcept { return error_; }

 private:
  Error error_;
};

inline constexpr const char* kPosixErrorDomain = "POSIX";

// An error built from a POSIX error number, with the platform's description.
Error posixError(int errnoValue, std::string domain = kPosixErrorDomain);

}  // namespace solvera

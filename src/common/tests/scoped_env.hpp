// Sets environment variables for one test and puts back what was there before, so that no test
// leaves its setting to the tests that run after it in the same process.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace solvera::test {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  // value nothing: the variable is removed for the test.
  ScopedEnv(const char* name, std::optional<std::string> value) { set(name, std::move(value)); }
  ~ScopedEnv() {
    // In reverse, so a variable set twice ends as it was before the first.
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  ScopedEnv& set(const char* name, std::optional<std::string> value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
    return *this;
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace solvera::test

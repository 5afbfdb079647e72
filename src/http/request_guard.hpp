// Keeps other web pages from driving the lights, the audio and the proxies through the user's
// browser: foreign Host names (DNS rebinding) and cross-origin requests are refused.
#pragma once

#include <optional>
#include <string>

#include "http/http.hpp"

namespace solvera::http {

// This machine's host name, lower-cased (gethostname).
std::string localHostName();

// Whether a Host value (with or without a port) names an IP literal, localhost, a name under
// ".localhost" or ".local", or this machine.
bool isAllowedHost(const std::string& hostValue, const std::string& machineHostName);

// The 403 reply for a request that must not reach the route table, or nothing.
std::optional<std::string> guardResponse(const RequestInfo& request,
                                         const std::string& machineHostName);

}  // namespace solvera::http

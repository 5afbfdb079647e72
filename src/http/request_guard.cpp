// Host and Origin checks in front of the route table.
#include "http/request_guard.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "common/json.hpp"

namespace solvera::http {
namespace {

bool isIPv4(const std::string& s) {
  in_addr a{};
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool isIPv6(const std::string& s) {
  in6_addr a{};
  return inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string localHostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return lowerAscii(name.data());
}

bool isAllowedHost(const std::string& hostValue, const std::string& machineHostName) {
  std::string host = lowerAscii(hostValue);
  if (host.starts_with("[")) {
    std::size_t close = host.find(']');
    if (close == std::string::npos) return false;
    std::string rest = host.substr(close + 1);
    if (!rest.empty() && !(rest[0] == ':' && allDigits(std::string_view(rest).substr(1)))) {
      return false;
    }
    return isIPv6(host.substr(1, close - 1));
  }
  if (std::size_t colon = host.rfind(':'); colon != std::string::npos) {
    if (!allDigits(std::string_view(host).substr(colon + 1))) return false;
    host.resize(colon);
  }
  if (host.ends_with(".")) host.pop_back();  // "localhost." is still localhost
  if (host.empty()) return false;
  if (isIPv4(host)) return true;
  if (host == "localhost" || host.ends_with(".localhost") || host.ends_with(".local")) return true;
  return !machineHostName.empty() && host == machineHostName;
}

std::optional<std::string> guardResponse(const RequestInfo& request,
                                         const std::string& machineHostName) {
  auto host = request.header("host");
  if (host && !isAllowedHost(*host, machineHostName)) {
    return jsonResponse(OrderedJson{{"ok", false}, {"error", "forbidden_host"}}, "403 Forbidden");
  }
  if (auto origin = request.header("origin")) {
    if (!host || *origin != "http://" + *host) {
      return jsonResponse(OrderedJson{{"ok", false}, {"error", "forbidden_origin"}}, "403 Forbidden");
    }
  }
  return std::nullopt;
}

}  // namespace solvera::http

// The one check of Art-Net destinations: what a target text must look like and which
// addresses the output may send to.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace solvera::dmx {

// Letters, digits, dots and hyphens only: dotted addresses and names pass, a port suffix,
// spaces or an empty text do not.
bool plausibleTargetIp(std::string_view text);

// The UDP destination (port 6454) for a dotted-decimal IPv4 text; throws ErrorException
// ("SolveraArtNet", 400) for anything else. No name lookups: they could block every tick.
sockaddr_in artNetDestination(const std::string& targetIp);

}  // namespace solvera::dmx

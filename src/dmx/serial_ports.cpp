// Serial device discovery over a folder listing.
#include "dmx/serial_ports.hpp"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace solvera::dmx {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

// "usbserial-" followed by a letter anywhere in the name, case-insensitive: FTDI adapters
// carry their letter-first serial number there.
bool hasLetterSerial(std::string_view name) {
  constexpr std::string_view kMarker = "usbserial-";
  for (std::size_t i = 0; i + kMarker.size() < name.size(); ++i) {
    if (startsWithNoCase(name.substr(i), kMarker) && isLetter(name[i + kMarker.size()])) return true;
  }
  return false;
}

bool validDeviceName(std::string_view name) {
  // (cu|tty)\.[A-Za-z0-9_.-]+ as on macOS, or tty(USB|ACM)[0-9]+ as on Linux.
  for (std::string_view prefix : {"cu.", "tty."}) {
    if (name.starts_with(prefix) && name.size() > prefix.size()) {
      return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](char c) {
                           return isLetter(c) || isDigit(c) || c == '_' || c == '.' || c == '-';
                         });
    }
  }
  for (std::string_view prefix : {"ttyUSB", "ttyACM"}) {
    if (name.starts_with(prefix)) return allDigits(name.substr(prefix.size()));
  }
  return false;
}

std::vector<SerialNamePattern> withLinuxNames(std::vector<SerialNamePattern> patterns) {
  patterns.push_back({"ttyUSB", true});
  patterns.push_back({"ttyACM", true});
  return patterns;
}

}  // namespace

bool SerialNamePattern::matches(std::string_view name) const {
  if (!startsWithNoCase(name, prefix)) return false;
  return !digitsOnly || allDigits(name.substr(prefix.size()));
}

const std::vector<SerialNamePattern>& enttecPortPatterns() {
  static const auto patterns = withLinuxNames({{"cu.usbserial"},
                                               {"cu.usbmodem"},
                                               {"cu.SLAB_USBtoUART"},
                                               {"cu.wchusbserial"},
                                               {"cu.serial"},
                                               {"tty.usbserial"},
                                               {"tty.usbmodem"}});
  return patterns;
}

const std::vector<SerialNamePattern>& openDmxPortPatterns() {
  static const auto patterns = withLinuxNames({{"cu.usbserial"},
                                               {"cu.FT"},
                                               {"cu.SLAB_USBtoUART"},
                                               {"cu.usbmodem"},
                                               {"cu.serial"},
                                               {"cu.wchusbserial"},
                                               {"tty.usbserial"},
                                               {"tty.FT"},
                                               {"tty.usbmodem"}});
  return patterns;
}

std::string serialDeviceDir() {
  const char* dir = std::getenv("SOLVERA_SERIAL_DIR");
  std::string path = dir && *dir ? dir : "/dev";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> sanitizedSerialPort(const std::optional<std::string>& port,
                                               const std::string& dir) {
  if (!port) return std::nullopt;
  std::string_view path = *port;
  if (!path.starts_with(dir) || path.size() <= dir.size() || path[dir.size()] != '/') {
    return std::nullopt;
  }
  if (!validDeviceName(path.substr(dir.size() + 1))) return std::nullopt;
  return port;
}

bool naturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      std::size_t ei = si, ej = sj;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      // Without leading zeros, a longer run is a larger number; equal lengths compare by digit.
      if (ei - si != ej - sj) return ei - si < ej - sj;
      int order = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
      continue;
    }
    char ca = lower(a[i]), cb = lower(b[j]);
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
  return a < b;  // names equal but for case or leading zeros: any fixed order
}

void rankSerialPortNames(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    bool cuA = a.starts_with("cu."), cuB = b.starts_with("cu.");
    if (cuA != cuB) return cuA;
    bool serialA = hasLetterSerial(a), serialB = hasLetterSerial(b);
    if (serialA != serialB) return serialA;
    return naturalLess(a, b);
  });
}

std::vector<std::string> sortedSerialPortCandidates(const std::vector<SerialNamePattern>& patterns,
                                                    const std::optional<std::string>& preferredPort,
                                                    const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      std::string_view name = entry->d_name;
      if (std::any_of(patterns.begin(), patterns.end(),
                      [&](const SerialNamePattern& p) { return p.matches(name); })) {
        names.emplace_back(name);
      }
    }
    ::closedir(listing);
  }
  rankSerialPortNames(names);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  const std::string folder = dir + "/";
  for (const auto& name : names) paths.push_back(folder + name);
  if (preferredPort && std::find(paths.begin(), paths.end(), *preferredPort) != paths.end()) {
    std::erase(paths, *preferredPort);
    paths.insert(paths.begin(), *preferredPort);
  }
  return paths;
}

}  // namespace solvera::dmx

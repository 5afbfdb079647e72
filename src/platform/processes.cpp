// Reading /proc and ending left-over helpers.
#include "platform/processes.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace solvera::platform {
namespace {

std::string kernelName(std::string_view name) {
  return std::string(name.substr(0, kProcessNameBytes));
}

// A process that ends while its file is read makes the read fail (ESRCH), which the stream
// library reports by throwing: that process is simply gone.
bool readProcFile(const std::filesystem::path& file, std::string& text) {
  try {
    std::ifstream in(file);
    text.assign(std::istreambuf_iterator<char>(in), {});
    return true;
  } catch (const std::ios_base::failure&) {
    return false;
  }
}

// Name and parent from /proc/<pid>/stat; the name may hold blanks and parentheses itself.
bool readStat(const std::filesystem::path& file, ProcessEntry& entry) {
  std::string text;
  if (!readProcFile(file, text)) return false;
  auto open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) {
    return false;
  }
  entry.name = text.substr(open + 1, close - open - 1);
  // After ") " come the state (one letter), a blank, and the parent's id.
  const char* first = text.data() + close + 4;
  return std::from_chars(first, text.data() + text.size(), entry.parent).ec == std::errc();
}

bool readUid(const std::filesystem::path& file, uid_t& uid) {
  std::string text;
  if (!readProcFile(file, text)) return false;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Uid:")) continue;
    auto digits = line.find_first_of("0123456789");
    if (digits == std::string::npos) return false;
    return std::from_chars(line.data() + digits, line.data() + line.size(), uid).ec == std::errc();
  }
  return false;
}

}  // namespace

std::vector<ProcessEntry> listProcesses(const std::filesystem::path& procDir) {
  std::vector<ProcessEntry> processes;
  std::error_code error;
  for (const auto& dirEntry : std::filesystem::directory_iterator(procDir, error)) {
    const std::string id = dirEntry.path().filename().string();
    ProcessEntry entry;
    auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), entry.pid);
    if (ec != std::errc() || end != id.data() + id.size()) continue;
    if (!readStat(dirEntry.path() / "stat", entry)) continue;
    if (!readUid(dirEntry.path() / "status", entry.uid)) continue;
    processes.push_back(std::move(entry));
  }
  return processes;
}

std::vector<pid_t> orphanedProcesses(const std::vector<ProcessEntry>& processes,
                                     std::string_view name, uid_t uid,
                                     const std::vector<std::string>& instanceNames) {
  std::map<pid_t, const ProcessEntry*> byId;
  for (const auto& p : processes) byId[p.pid] = &p;
  const std::string wanted = kernelName(name);
  std::vector<pid_t> orphans;
  for (const auto& p : processes) {
    if (p.uid != uid || p.name != wanted) continue;
    auto parent = byId.find(p.parent);
    bool owned = parent != byId.end() &&
                 std::any_of(instanceNames.begin(), instanceNames.end(), [&](const std::string& n) {
                   return parent->second->name == kernelName(n);
                 });
    if (!owned) orphans.push_back(p.pid);
  }
  return orphans;
}

std::size_t terminateOrphanedProcesses(std::string_view name,
                                       const std::vector<std::string>& instanceNames) {
  std::size_t signalled = 0;
  for (pid_t pid : orphanedProcesses(listProcesses(), name, ::getuid(), instanceNames)) {
    // One that ended meanwhile is no longer our concern.
    if (::kill(pid, SIGTERM) == 0) ++signalled;
  }
  return signalled;
}

}  // namespace solvera::platform

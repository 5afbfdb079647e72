// The processes of this machine as /proc shows them, for ending helpers left over from a run
// that did not stop them.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace solvera::platform {

// The kernel keeps this many bytes of a process name.
inline constexpr std::size_t kProcessNameBytes = 15;

// Names of this program's executables: a helper whose parent has one of them is in use.
inline const std::vector<std::string> kInstanceProcessNames = {"solvera-pro",
                                                               "solvera-pro-headless"};

struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  uid_t uid = 0;
  std::string name;  // as the kernel keeps it
};

// Every process readable under procDir; processes that end while it reads are left out.
std::vector<ProcessEntry> listProcesses(const std::filesystem::path& procDir = "/proc");

// The processes of user uid named name (compared as the kernel keeps names) whose parent is
// not a running instance of the program, that is not a process named one of instanceNames.
std::vector<pid_t> orphanedProcesses(const std::vector<ProcessEntry>& processes,
                                     std::string_view name, uid_t uid,
                                     const std::vector<std::string>& instanceNames);

// Sends the termination signal to those processes of ours; returns how many were signalled.
std::size_t terminateOrphanedProcesses(std::string_view name,
                                       const std::vector<std::string>& instanceNames);

}  // namespace solvera::platform

#pragma once

// This user's other running copies of the program, found in /proc, with the build
// number each one's Info.json gives.

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nimbrella {

struct RunningCopy {
  pid_t pid = 0;
  std::filesystem::path executable;
  std::optional<std::string> buildNumber;  // "CFBundleVersion" of its Info.json
};

// Processes of this real user, other than this one, that are alive (not zombies) and
// whose executable is a file named `name` (also when that file was since replaced or
// deleted). `proc` is the procfs mount.
std::vector<RunningCopy> runningCopies(const std::string& name, const std::filesystem::path& proc = "/proc");

// The file name of this process's executable ("nimbrella" for the program itself).
std::string thisProgramName();

// A copy older than the single-instance lock: its build number is a plain integer
// below 3 (such copies never take the lock).
bool isOlderCopy(const RunningCopy& copy);

}  // namespace nimbrella

// Starting other programs.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts the program at path with the given arguments (argv[1..]) in the
// working folder workDir, and does not wait for it. The program inherits no
// open files of ours (only standard input, output and error) and is not our
// child, so it leaves no zombie behind. Gives false when it could not be
// started (missing, not executable, no such folder).
bool StartDetachedProcess(const std::string& path, const std::vector<std::string>& args,
                          const std::string& workDir);

}  // namespace platform

// Running the well-kept outside tools that make a stick image: found on the
// PATH or in the system's administration folders, started with fork and exec
// from an argument vector (no shell), their output collected.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upd::pack {

// The path of the program `name`: the first executable file of that name on
// the PATH, then in /usr/sbin and /sbin, where the partitioning and file-system
// tools live. Empty when there is none.
std::string FindTool(std::string_view name);

struct ToolRun {
    bool ran = false;    // the program was started and waited for
    int status = -1;     // its exit status; -1 when it did not exit normally
    std::string output;  // its standard output and standard error, interleaved
};

// Runs argv[0] (a path) with the arguments argv, `input` on its standard
// input and the environment variables `environment` ("NAME=value") added to
// this program's, replacing any of the same name.
ToolRun RunTool(const std::vector<std::string>& argv, std::string_view input = {},
                const std::vector<std::string>& environment = {});

}  // namespace upd::pack

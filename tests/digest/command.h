// Runs a shell command for the digest tests and returns what it wrote on its
// standard output: reference tools (md5sum, sha256sum, openssl) as oracles.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace upd::testing {

// Standard output of `command`; fails the test when the command fails.
inline std::string CommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run: " << command;
        return output;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        output.append(buf, n);
    }
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << "command failed: " << command;
    return output;
}

// Single-quoted for the shell.
inline std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char ch : text) {
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    return quoted + "'";
}

}  // namespace upd::testing

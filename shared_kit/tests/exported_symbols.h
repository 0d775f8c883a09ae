#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace ambrevoli::testing {

struct CommandOutput {
    std::vector<std::string> lines; // without their line ends
    bool succeeded = false;         // whether the command could be run and exited with 0
    int exitStatus = -1;            // the command's exit status; -1 when it did not exit
};

// Runs `command` through the shell and collects what it prints on stdout; a shell that cannot be
// started fails the test.
inline CommandOutput commandOutput(const std::string& command)
{
    CommandOutput output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        output.lines.push_back(text);
    }
    const int status = ::pclose(pipe);
    output.succeeded = status == 0;
    output.exitStatus = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

// The names of the dynamic symbols the shared object `file` defines, sorted; nullopt when nm
// could not be run (not installed), so that a test can skip rather than fail.
inline std::optional<std::vector<std::string>> exportedSymbols(const std::string& file)
{
    const CommandOutput nm = commandOutput("nm -D --defined-only '" + file + "' 2>/dev/null");
    if (!nm.succeeded && nm.lines.empty())
        return std::nullopt;
    std::vector<std::string> names;
    for (const std::string& line : nm.lines)
        names.push_back(line.substr(line.rfind(' ') + 1));
    std::ranges::sort(names);
    return names;
}

} // namespace ambrevoli::testing

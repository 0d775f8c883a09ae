#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

// What a file-manager module under test logs. The module carries its own copy of the kit, whose
// logging a LogCapture in the test cannot see; the module is made to log to stderr instead
// (AMBREVOLI_LOG=stderr), and a ModuleLog reads its lines from there.

namespace ambrevoli::testing {

// The lines `subsystem` logs on its "extension" category while this object lives, as
// "<level>: <text>" ("default: …", "error: …"). Everything else written to stderr meanwhile is
// passed on when the object goes.
class ModuleLog {
public:
    explicit ModuleLog(const std::string& subsystem)
        : m_prefix(subsystem + "[extension] "), m_file(m_folder / "stderr")
    {
        std::fflush(stderr);
        m_savedStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        const int fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~ModuleLog()
    {
        std::fflush(stderr);
        ::dup2(m_savedStderr, STDERR_FILENO);
        ::close(m_savedStderr);
        // A fake host's complaints, the toolkit's warnings: they still reach a person.
        std::ifstream in(m_file);
        for (std::string line; std::getline(in, line);)
            if (!line.starts_with(m_prefix))
                std::fprintf(stderr, "%s\n", line.c_str());
    }
    ModuleLog(const ModuleLog&) = delete;
    ModuleLog& operator=(const ModuleLog&) = delete;

    std::vector<std::string> lines() const
    {
        std::fflush(stderr);
        std::vector<std::string> lines;
        std::ifstream in(m_file);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(m_prefix))
                lines.push_back(line.substr(m_prefix.size()));
        return lines;
    }

    void clear()
    {
        std::fflush(stderr);
        // O_APPEND: the next line lands at the new end.
        if (::truncate(m_file.c_str(), 0) != 0)
            ADD_FAILURE() << "cannot empty the captured log";
    }

private:
    std::string m_prefix;
    ScopedTempDir m_folder;
    std::string m_file;
    int m_savedStderr = -1;
};

// The line a module logs for a failure: "error: <message>: <domain> <code> <private>".
template <class E> std::string errorLine(const std::string& message, const E& error)
{
    return "error: " + message + ": " + std::string(errorDomain(error)) + " " +
           std::to_string(errorCode(error)) + " <private>";
}

} // namespace ambrevoli::testing

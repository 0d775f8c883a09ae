#pragma once

#include "temp_dir.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ambrevoli::testing {

// A host program that records how it was started: one file per start, with one line per
// argument, then "XDG_ACTIVATION_TOKEN=…" and "DESKTOP_STARTUP_ID=…" as it found them. Sets
// $AMBREVOLI_HOST to itself while it lives, so that senders start it instead of the real host,
// and $XDG_RUNTIME_DIR to a folder of its own, so that no host running elsewhere (the
// developer's own, say) is handed anything.
class FakeHost {
public:
    FakeHost() : m_executable(m_folder / "fake-host")
    {
        std::ofstream(m_executable)
            << "#!/bin/sh\n"
               "record=\"$(dirname \"$0\")/start.$$\"\n"
               "{\n"
               "  printf '%s\\n' \"$@\"\n"
               "  printf 'XDG_ACTIVATION_TOKEN=%s\\n' \"${XDG_ACTIVATION_TOKEN-(unset)}\"\n"
               "  printf 'DESKTOP_STARTUP_ID=%s\\n' \"${DESKTOP_STARTUP_ID-(unset)}\"\n"
               "} > \"$record.partial\"\n"
               "mv \"$record.partial\" \"$record\"\n";
        ::chmod(m_executable.c_str(), 0755);
        if (const char* old = std::getenv("AMBREVOLI_HOST"))
            m_oldHost = old;
        ::setenv("AMBREVOLI_HOST", m_executable.c_str(), 1);
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            m_oldRuntime = old;
        ::setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), 1);
    }
    ~FakeHost()
    {
        restore("AMBREVOLI_HOST", m_oldHost);
        restore("XDG_RUNTIME_DIR", m_oldRuntime);
    }
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    const std::string& executable() const { return m_executable; }

    // The runtime folder senders look for the running host's socket in; not created.
    std::string runtimeDir() const { return m_folder / "run"; }

    // The starts recorded so far.
    std::size_t startCount() const
    {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder.path()))
            if (isRecord(entry.path()))
                ++count;
        return count;
    }

    // The records of the first `count` starts, waiting (up to 20 seconds) for them to be written.
    std::vector<std::vector<std::string>> waitForStarts(std::size_t count) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (startCount() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::vector<std::vector<std::string>> starts;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder.path())) {
            if (!isRecord(entry.path()))
                continue;
            std::vector<std::string> lines;
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            starts.push_back(std::move(lines));
        }
        return starts;
    }

private:
    static void restore(const char* name, const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }

    static bool isRecord(const std::filesystem::path& path)
    {
        const std::string name = path.filename();
        return name.starts_with("start.") && !name.ends_with(".partial");
    }

    ScopedTempDir m_folder;
    std::string m_executable;
    std::optional<std::string> m_oldHost, m_oldRuntime;
};

} // namespace ambrevoli::testing

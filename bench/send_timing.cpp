// send_timing: how long a send takes from the user's click to the finished copy, measured from
// outside as a user would see it: from starting `ambrevoli-send` until the copy is in place in
// the destination AND the host has logged its report ("Copied 1 of 1 items"). The peer is `cp`
// of the same file into the same folder, started the same way and timed until it exited with
// the copy in place.
//
// Needs a running host whose log goes to a file (bench/send_latency sets that up in a throwaway
// session). Every copy is removed after its run, so each run copies to the same free name.

#include "paths.h"
#include "timing.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

using namespace ambrevoli;
using namespace ambrevoli::bench;

namespace {

constexpr char usage[] =
    "Usage: send_timing --send AMBREVOLI_SEND --to LABEL --dest FOLDER --log HOST_LOG\n"
    "                   [--runs N] [--warmup N] FILE\n";

constexpr std::string_view reportLine = "Copied 1 of 1 items";
constexpr int timeoutMilliseconds = 10000;

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "send_timing: %s\n", message.c_str());
    std::exit(1);
}

struct Options {
    std::string send, label, dest, log, file;
    int runs = 50;
    int warmup = 3;
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die(std::string(argument) + " needs a value\n" + usage);
            return argv[++i];
        };
        if (argument == "--send")
            options.send = value();
        else if (argument == "--to")
            options.label = value();
        else if (argument == "--dest")
            options.dest = value();
        else if (argument == "--log")
            options.log = value();
        else if (argument == "--runs")
            options.runs = std::atoi(value().c_str());
        else if (argument == "--warmup")
            options.warmup = std::atoi(value().c_str());
        else if (options.file.empty() && !argument.starts_with("-"))
            options.file = argument;
        else
            die(std::string("unexpected ") + argv[i] + "\n" + usage);
    }
    if (options.send.empty() || options.label.empty() || options.dest.empty() ||
        options.log.empty() || options.file.empty() || options.runs < 1 || options.warmup < 0)
        die(usage);
    return options;
}

std::optional<off_t> sizeOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return info.st_size;
}

pid_t spawn(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    if (const int error = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ))
        die("couldn't start " + arguments[0] + ": " + std::strerror(error));
    return child;
}

// Wakes up when the destination folder or the host's log changes, so that the moment the copy
// lands or the report is written is seen within microseconds rather than at a polling tick.
class ChangeWatch {
public:
    ChangeWatch(const std::string& folder, const std::string& log)
        : m_fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    {
        if (!m_fd)
            die(std::string("inotify: ") + std::strerror(errno));
        if (::inotify_add_watch(m_fd.get(), folder.c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0 ||
            ::inotify_add_watch(m_fd.get(), log.c_str(), IN_MODIFY) < 0)
            die(std::string("can't watch the destination or the log: ") + std::strerror(errno));
    }

    // Waits until something changed or a child may have ended (every millisecond: an exit is
    // not an inotify event). Yields false once `deadline` passed.
    bool wait(Clock::time_point deadline)
    {
        if (Clock::now() > deadline)
            return false;
        pollfd entry{m_fd.get(), POLLIN, 0};
        if (::poll(&entry, 1, 1) > 0) {
            char events[4096];
            while (::read(m_fd.get(), events, sizeof events) > 0) {
            }
        }
        return true;
    }

private:
    UniqueFd m_fd;
};

// The host's log from a given offset on: finds report lines written after a run started.
class LogTail {
public:
    explicit LogTail(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        if (!m_fd)
            die("can't read the host's log " + path + ": " + std::strerror(errno));
    }

    // Forgets what was read: from now on only new lines count.
    void skipToEnd()
    {
        m_offset = ::lseek(m_fd.get(), 0, SEEK_END);
        m_text.clear();
    }

    bool contains(std::string_view line)
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::pread(m_fd.get(), buffer, sizeof buffer, m_offset)) > 0) {
            m_text.append(buffer, static_cast<std::size_t>(n));
            m_offset += n;
        }
        return m_text.find(line) != std::string::npos;
    }

private:
    UniqueFd m_fd;
    off_t m_offset = 0;
    std::string m_text;
};

struct Run {
    double inPlace = 0;  // the copy is complete at its place
    double reported = 0; // the host logged the report (the send only)
    double exited = 0;   // the started program exited
    double done = 0;     // the latest of those that count
};

class Bench {
public:
    explicit Bench(const Options& options)
        : m_options(options), m_copy(joinPath(options.dest, lastComponent(options.file))),
          m_watch(options.dest, options.log), m_log(options.log)
    {
        const auto size = sizeOf(options.file);
        if (!size)
            die("no such file: " + options.file);
        m_size = *size;
    }

    // One send: copy in place and report logged.
    Run send() { return time({m_options.send, "--to", m_options.label, m_options.file}, true); }

    // The peer: cp, until it exited with the copy in place.
    Run cp() { return time({"cp", m_options.file, m_copy}, false); }

private:
    Run time(const std::vector<std::string>& command, bool waitForReport)
    {
        if (::unlink(m_copy.c_str()) != 0 && errno != ENOENT)
            die("can't remove the last copy " + m_copy + ": " + std::strerror(errno));
        m_log.skipToEnd();

        const auto start = Clock::now();
        const pid_t child = spawn(command);
        const auto deadline = start + std::chrono::milliseconds(timeoutMilliseconds);
        std::optional<double> inPlace, reported, exited;
        int status = 0;
        while (!inPlace || (waitForReport && !reported) || !exited) {
            if (!inPlace && sizeOf(m_copy) == m_size)
                inPlace = millisecondsSince(start);
            if (waitForReport && !reported && m_log.contains(reportLine))
                reported = millisecondsSince(start);
            if (!exited && ::waitpid(child, &status, WNOHANG) == child)
                exited = millisecondsSince(start);
            if ((!inPlace || (waitForReport && !reported) || !exited) && !m_watch.wait(deadline))
                die(command[0] + " didn't finish within " +
                    std::to_string(timeoutMilliseconds / 1000) + " s (copy " +
                    (inPlace ? "in place" : "missing") + ", report " +
                    (reported ? "logged" : "not logged") + ")");
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die(command[0] + " failed (status " + std::to_string(status) + ")");
        Run run{*inPlace, reported.value_or(0), *exited, 0};
        run.done = std::max(run.inPlace, run.reported);
        if (!waitForReport)
            run.done = std::max(run.done, run.exited);
        return run;
    }

    const Options& m_options;
    std::string m_copy;
    off_t m_size = 0;
    ChangeWatch m_watch;
    LogTail m_log;
};

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    Bench bench(options);

    for (int i = 0; i < options.warmup; ++i) {
        bench.send();
        bench.cp();
    }
    // Interleaved, so that whatever else the machine does weighs on both alike.
    std::vector<double> sendDone, sendInPlace, sendExited, cpDone;
    for (int i = 0; i < options.runs; ++i) {
        const Run send = bench.send();
        sendDone.push_back(send.done);
        sendInPlace.push_back(send.inPlace);
        sendExited.push_back(send.exited);
        cpDone.push_back(bench.cp().done);
    }

    const Figures send = figures(sendDone), copy = figures(cpDone);
    printHeader("Send latency: one " + std::to_string(sizeOf(options.file).value_or(0)) +
                "-byte file, " + std::to_string(options.runs) + " runs after " +
                std::to_string(options.warmup) + " warm-up runs");
    printRow("ambrevoli-send until copy in place + report", send);
    printRow("  ambrevoli-send had exited after", figures(sendExited));
    printRow("  the copy was in place after", figures(sendInPlace));
    printRow("peer: cp, started the same way", copy);
    printRatio("send / cp (medians)", send, copy);
    printRatioTarget("send / cp", 1.5, send, copy);
    return 0;
}

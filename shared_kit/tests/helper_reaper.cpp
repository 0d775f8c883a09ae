// helper_reaper PROGRAM [ARGUMENT...]
//
// Runs a test so that nothing it starts outlives it. ctest runs every test through this program.
//
// The test runs as this program's child, and this program is the subreaper of everything beneath
// it: a helper that loses its parent (a host started detached in a session of its own, the
// survivors of a crashed test) is reparented here rather than to init. Once the test has ended —
// passed, failed or crashed — every process left beneath this one is asked to terminate
// (SIGTERM) and killed (SIGKILL) if it is still there after a grace period. Their names go to
// stderr. Then this program exits as the test did: with its exit status, or by the signal that
// ended it, so that ctest reports a crash as a crash.
//
// SIGTERM, SIGINT, SIGHUP and SIGQUIT sent to this program are passed on to the test. Should
// this program be killed outright, the kernel kills the test, and the helpers the test started
// end with it in turn (HelperProcess in Ambrevoli/tests/desktop_fakes.h).

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Helpers bound to the test end by themselves once it is gone; only the others are named.
constexpr auto endingOnTheirOwn = std::chrono::seconds(1);
constexpr auto gracePeriod = std::chrono::seconds(5);
// A process stuck in the kernel (a dead network mount) survives even SIGKILL; don't wait for it
// forever.
constexpr auto giveUpAfter = std::chrono::seconds(30);

volatile sig_atomic_t testPid = 0;

void forward(int signal)
{
    if (testPid > 0)
        ::kill(testPid, signal);
}

std::string readFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The processes whose parent is this one, ended ones not yet reaped included.
std::vector<pid_t> children()
{
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return found;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        // "pid (command) state ppid …"; the command may hold spaces and parentheses.
        const std::string stat = readFirstLine("/proc/" + std::string(entry->d_name) + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        long parent = 0;
        if (fields >> state >> parent && parent == self)
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return found;
}

// Reaps every child that has ended, without waiting.
void reapEnded()
{
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Ends every process left beneath this one, including those reparented here while it works.
void endLeftovers()
{
    std::set<pid_t> signalled;
    std::string names;
    const auto start = Clock::now();
    for (;;) {
        reapEnded();
        const std::vector<pid_t> left = children();
        if (left.empty())
            break;
        const auto waited = Clock::now() - start;
        if (waited < endingOnTheirOwn) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (waited > giveUpAfter) {
            std::fprintf(stderr, "helper_reaper: %zu processes did not end even when killed\n",
                         left.size());
            break;
        }
        for (const pid_t pid : left) {
            // Still a child, not reaped: the pid can't have been reused.
            if (signalled.insert(pid).second) {
                names += (names.empty() ? "" : ", ") +
                         readFirstLine("/proc/" + std::to_string(pid) + "/comm") + "[" +
                         std::to_string(pid) + "]";
                ::kill(pid, SIGTERM);
            } else if (waited > endingOnTheirOwn + gracePeriod) {
                ::kill(pid, SIGKILL);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!names.empty())
        std::fprintf(stderr, "helper_reaper: ended what the test left running: %s\n",
                     names.c_str());
}

[[noreturn]] void exitAs(int status)
{
    if (WIFEXITED(status))
        std::exit(WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    // The test has dumped its core already, if anything did.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(signal, SIG_DFL);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::exit(128 + signal);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: helper_reaper PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("helper_reaper: PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    const pid_t self = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("helper_reaper: fork");
        return 2;
    }
    if (child == 0) {
        // Armed first, then checked: a reaper that died in between would never send it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != self)
            ::_exit(127);
        ::execvp(argv[1], argv + 1);
        std::fprintf(stderr, "helper_reaper: can't run %s: %s\n", argv[1], std::strerror(errno));
        ::_exit(127);
    }
    testPid = child;
    struct sigaction forwarding = {};
    forwarding.sa_handler = forward;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        ::sigaction(signal, &forwarding, nullptr);

    int status = 0;
    for (;;) {
        int ended = 0;
        const pid_t pid = ::waitpid(-1, &ended, 0);
        if (pid == child) {
            status = ended;
            break;
        }
        if (pid < 0 && errno != EINTR) {
            std::perror("helper_reaper: waitpid");
            return 2;
        }
    }
    testPid = 0;
    endLeftovers();
    exitAs(status);
}

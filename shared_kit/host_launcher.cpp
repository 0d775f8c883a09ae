#include "host_launcher.h"

#include "bundle_info.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace ambrevoli {

namespace {

std::expected<void, SystemError> startDetached(std::vector<std::string> arguments,
                                               const HostLaunch& launch)
{
    // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
    arguments.insert(arguments.begin(), launch.executable);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text = *entry;
        const bool replaced = std::any_of(
            launch.environment.begin(), launch.environment.end(), [&](const std::string& extra) {
                const auto name = extra.substr(0, extra.find('=') + 1);
                return text.starts_with(name);
            });
        if (!replaced)
            environment.emplace_back(text);
    }
    environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // The grandchild writes its errno here when exec fails; a successful exec closes it empty.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return std::unexpected(SystemError::last());
    UniqueFd reader(report[0]), writer(report[1]);

    const pid_t child = ::fork();
    if (child < 0)
        return std::unexpected(SystemError::last());
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            int error = errno;
            (void)!::write(writer.get(), &error, sizeof error);
            ::_exit(1);
        }
        if (grandchild > 0)
            ::_exit(0);
        // Signals the caller blocks or ignores must not carry over into the host.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGCHLD, SIG_DFL);
        // The host outlives the caller and keeps none of its descriptors: a caller reading
        // ambrevoli-send's output and error output to their end (`out=$(… 2>&1)`) would wait
        // for the host to end. Its log goes to the journal, or nowhere without one.
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nothing >= 0) {
            ::dup2(nothing, STDIN_FILENO);
            ::dup2(nothing, STDOUT_FILENO);
            ::dup2(nothing, STDERR_FILENO);
        } else {
            ::close(STDIN_FILENO);
            ::close(STDOUT_FILENO);
            ::close(STDERR_FILENO);
        }
        // The caller's other descriptors (a file manager has many) stay out of the host.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(argv[0], argv.data(), envp.data());
        int error = errno;
        (void)!::write(writer.get(), &error, sizeof error);
        ::_exit(127);
    }

    writer.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(reader.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof error))
        return std::unexpected(SystemError::fromErrno(error));
    return {};
}

} // namespace

std::string hostExecutable()
{
    const char* overridden = std::getenv("AMBREVOLI_HOST");
    if (overridden && overridden[0] == '/')
        return overridden;
    return std::string(mainBundle().hostExecutable);
}

std::vector<std::string> hostArguments(const std::optional<HandoffURL>& url, bool activates)
{
    std::vector<std::string> arguments;
    if (!activates)
        arguments.emplace_back("--background");
    if (url)
        arguments.push_back(url->url());
    return arguments;
}

std::expected<void, SystemError> openWithHost(const HandoffURL& url, const HostLaunch& launch)
{
    return startDetached(hostArguments(url, launch.activates), launch);
}

std::expected<void, SystemError> startHost(const HostLaunch& launch)
{
    return startDetached(hostArguments(std::nullopt, launch.activates), launch);
}

} // namespace ambrevoli

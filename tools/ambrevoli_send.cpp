// ambrevoli-send: does exactly what a click in the file manager's Send To menu does — writes a
// request into the inbox and wakes the host without raising it. For other file managers' custom
// actions, for scripts, and for end-to-end tests. With --wait it stays until the host has copied
// and prints the host's report.

#include "current_destinations.h"
#include "host_launcher.h"
#include "paths.h"
#include "sender.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace ambrevoli;

namespace {

constexpr int handedOff = 0, failed = 1, usageError = 2;

// How long --wait gives a host it had to start to begin listening (a loaded machine may take a
// while to load a GUI toolkit); the copy itself may take as long as it takes.
constexpr std::chrono::seconds startPatience{60};

constexpr char usage[] =
    "Usage: ambrevoli-send [--wait] --to LABEL|ID FILE...\n"
    "       ambrevoli-send --list\n"
    "\n"
    "Sends the FILEs to a Send To destination, as the file manager's menu does: the\n"
    "request goes to Ambrevoli, which copies them and tells you how it went.\n"
    "  --to LABEL|ID  the destination, by its label or its identifier\n"
    "  --wait         wait until the copy is done and print Ambrevoli's report: how\n"
    "                 many items were copied, where to, and each one that was not and why\n"
    "  --list         show the destinations: label, folder, whether it is there, identifier\n"
    "Exit status: 0 handed off (with --wait: everything copied), 1 could not send (with\n"
    "--wait: something was not copied, or the request was refused), 2 usage error or no\n"
    "such destination.\n";

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "ambrevoli-send: %s\n", message.c_str());
    return status;
}

// Why the destinations could not be read; `failure` is a LoadDestinationsFailure or the cause of
// a SendError's destinationsUnavailable.
template <class Failure> std::string describe(const Failure& failure)
{
    if (const auto* group = std::get_if<AppGroupError>(&failure))
        return group->kind == AppGroupError::Case::containerUnavailable
                   ? "the destinations can't be reached: " + textualForm(*group)
                   : "no app group: " + textualForm(*group);
    return "the destinations file can't be read (" + textualForm(failure) +
           "): " + destinationsFile().value_or("");
}

int list()
{
    const auto destinations = loadDestinations();
    if (!destinations)
        return fail(failed, describe(destinations.error()));
    for (const Destination& destination : *destinations)
        std::printf("%s\t%s\t%s\t%s\n", destination.label().c_str(), destination.path().c_str(),
                    isFolder(destination.path()) ? "present" : "missing",
                    destination.id().text().c_str());
    return handedOff;
}

std::string notCalled(std::string_view to)
{
    return "no destination is called \"" + std::string(to) + "\" (see ambrevoli-send --list)";
}

// Why the send failed, for the user; the exit status to end with.
int failedSend(std::string_view to, const SendError& error)
{
    using enum SendError::Case;
    switch (error.kind) {
    case destinationsUnavailable: return fail(failed, describe(*error.cause));
    // Removed since it was looked up.
    case noSuchDestination: return fail(usageError, notCalled(to));
    case requestNotWritten:
        return fail(failed, "couldn't write the request: " + textualForm(*error.cause));
    case hostNotStarted:
        if (*error.cause == SendError::Cause(SystemError{ETIMEDOUT}))
            return fail(failed, "Ambrevoli didn't take the request; it stays in the inbox for "
                                "the next start of Ambrevoli to throw away");
        return fail(failed,
                    "couldn't start " + hostExecutable() + ": " + textualForm(*error.cause));
    }
    return failed;
}

// Prints the host's report of the request as it comes; the exit status says whether everything
// was copied.
int waitForOutcome(HostConnection& connection)
{
    while (const auto record = connection.nextOutcome()) {
        if (record->kind == OutcomeRecord::Kind::end)
            return record->allCopied ? handedOff : failed;
        std::printf("%s\n", record->text.c_str());
        std::fflush(stdout);
    }
    return fail(failed, "Ambrevoli stopped before it told how the copy went");
}

int send(std::string_view to, const std::vector<std::string>& files, bool wait)
{
    const auto destinations = loadDestinations();
    if (!destinations)
        return fail(failed, describe(destinations.error()));

    std::vector<Destination> matches;
    const auto id = Uuid::parse(to);
    for (const Destination& destination : *destinations)
        if ((id && destination.id() == *id) || destination.label() == to)
            matches.push_back(destination);
    if (matches.empty())
        return fail(usageError, notCalled(to));
    if (matches.size() > 1) {
        std::string ids;
        for (const Destination& destination : matches)
            ids += "\n  " + destination.id().text() + "  " + destination.path();
        return fail(usageError, "several destinations are called \"" + std::string(to) +
                                    "\"; name one by its identifier:" + ids);
    }

    std::vector<std::string> sources;
    for (const std::string& file : files)
        // One that can't be made absolute is handed over as it is, and refused as missing.
        sources.push_back(absolutePath(file).value_or(file));
    if (wait) {
        auto sent = sendSelectionAndWait(matches.front().id(), std::move(sources), startPatience);
        return sent ? waitForOutcome(sent->connection) : failedSend(to, sent.error());
    }
    const auto sent = sendSelection(matches.front().id(), std::move(sources));
    return sent ? handedOff : failedSend(to, sent.error());
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::fputs(usage, stdout);
        return handedOff;
    }
    if (arguments.size() == 1 && arguments[0] == "--list")
        return list();
    if (arguments.size() >= 3 && arguments[0] == "--to")
        return send(arguments[1], {arguments.begin() + 2, arguments.end()}, false);
    if (arguments.size() >= 4 && arguments[0] == "--wait" && arguments[1] == "--to")
        return send(arguments[2], {arguments.begin() + 3, arguments.end()}, true);
    std::fputs(usage, stderr);
    return usageError;
}

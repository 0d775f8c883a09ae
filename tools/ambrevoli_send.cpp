// ambrevoli-send: does exactly what a click in the file manager's Send To menu does — writes a
// request into the inbox and wakes the host without raising it. For other file managers' custom
// actions, for scripts, and for end-to-end tests. With --wait it stays until the host has copied
// and prints the host's report; on a terminal it shows the copy's progress meanwhile, and Ctrl-C
// cancels the copy. With --undo it asks the host to take back what a send placed, and prints
// what went to the Trash and what was left and why.

#include "current_destinations.h"
#include "host_launcher.h"
#include "menu_options.h"
#include "paths.h"
#include "progress_line.h"
#include "sender.h"
#include "terminal_text.h"
#include "translation.h"
#include "volumes.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace ambrevoli;

namespace {

constexpr int handedOff = 0, failed = 1, usageError = 2;
// As a shell reports a program that Ctrl-C ended.
constexpr int interrupted = 130;

// How long --wait gives a host it had to start to begin listening (a loaded machine may take a
// while to load a GUI toolkit); the copy itself may take as long as it takes.
constexpr std::chrono::seconds startPatience{60};

constexpr const char* usage =
    // TRANSLATORS: ambrevoli-send --help. Keep the options (--to, --wait, …), "last", the
    // capitalised placeholders (LABEL, ID, FILE, REQUEST) and the exit statuses as they are,
    // and the lines within 80 columns.
    N_("Usage: ambrevoli-send [--wait] --to LABEL|ID FILE...\n"
       "       ambrevoli-send --undo last|REQUEST\n"
       "       ambrevoli-send --list\n"
       "\n"
       "Sends the FILEs to a Send To destination, as the file manager's menu does: the\n"
       "request goes to Ambrevoli, which copies them and tells you how it went.\n"
       "  --to LABEL|ID  the destination, by its label or its identifier, or a drive\n"
       "                 (a mounted stick or disk), by its label or the folder it is\n"
       "                 mounted at\n"
       "  --wait         print the request's identifier, wait until the copy is done and\n"
       "                 print Ambrevoli's report: how many items were copied, where to,\n"
       "                 and each one that was not and why; on a terminal, show the\n"
       "                 copy's progress meanwhile. Ctrl-C cancels the copy (what was\n"
       "                 not finished is removed), a second one stops waiting at once\n"
       "  --undo last|REQUEST\n"
       "                 take back what the latest send, or the send with that request\n"
       "                 identifier, placed: each item still as it was placed goes to the\n"
       "                 Trash, anything changed since stays where it is. Prints what was\n"
       "                 moved and what was left and why. A send can be undone for a day;\n"
       "                 one still copying is cancelled first\n"
       "  --list         show the destinations: label, folder, whether it is there, identifier;\n"
       "                 then the drives: label, folder, \"drive\", file-system identity\n"
       "Exit status: 0 handed off (with --wait: everything copied; with --undo: everything\n"
       "taken back), 1 could not send (with --wait: something was not copied, or the request\n"
       "was refused; with --undo: something was left in place, or there was nothing to\n"
       "undo), 2 usage error or no such destination, 130 cancelled with Ctrl-C.\n");

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
                   // TRANSLATORS: %1$s is the technical reason, left in English.
                   ? formatted(translate("the destinations can't be reached: %1$s"),
                               {textualForm(*group)})
                   // TRANSLATORS: %1$s is the technical reason, left in English.
                   : formatted(translate("no app group: %1$s"), {textualForm(*group)});
    // TRANSLATORS: %1$s is the technical reason, left in English; %2$s the file's path.
    return formatted(translate("the destinations file can't be read (%1$s): %2$s"),
                     {textualForm(failure), destinationsFile().value_or("")});
}

// The drives the file manager's menu offers, from the same rule and the same option.
std::vector<Volume> drives()
{
    return loadMenuOptions().showsDrives ? offeredVolumes(mountTable()) : std::vector<Volume>{};
}

int list()
{
    const auto destinations = loadDestinations();
    if (!destinations)
        return fail(failed, describe(destinations.error()));
    for (const Destination& destination : *destinations)
        std::printf("%s\t%s\t%s\t%s\n", terminalSafe(destination.label()).c_str(),
                    terminalSafe(destination.path()).c_str(),
                    isFolder(destination.path()) ? "present" : "missing",
                    destination.id().text().c_str());
    for (const Volume& drive : drives())
        std::printf("%s\t%s\tdrive\t%s\n", terminalSafe(drive.label).c_str(),
                    terminalSafe(drive.target.root).c_str(),
                    terminalSafe(drive.target.identity).c_str());
    return handedOff;
}

std::string notCalled(std::string_view to)
{
    // TRANSLATORS: %1$s is the name the user gave; keep "ambrevoli-send --list" as it is.
    return formatted(translate("no destination is called \"%1$s\" (see ambrevoli-send --list)"),
                     {terminalSafe(to)});
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
        // TRANSLATORS: %1$s is the technical reason, left in English.
        return fail(failed, formatted(translate("couldn't write the request: %1$s"),
                                      {textualForm(*error.cause)}));
    case hostNotStarted:
        if (const auto* folder = std::get_if<UnsafeSocketFolder>(&*error.cause))
            // TRANSLATORS: %1$s is the technical reason, left in English.
            return fail(failed, formatted(translate("can't wait for Ambrevoli: %1$s, so it can't "
                                                    "be reached safely; nothing was sent"),
                                          {terminalSafe(textualForm(*folder))}));
        if (*error.cause == SendError::Cause(SystemError{ETIMEDOUT}))
            return fail(failed,
                        translate("Ambrevoli didn't take the request; it stays in the inbox "
                                  "for the next start of Ambrevoli to throw away"));
        // TRANSLATORS: %1$s is the program's path, %2$s the technical reason, left in English.
        return fail(failed, formatted(translate("couldn't start %1$s: %2$s"),
                                      {hostExecutable(), textualForm(*error.cause)}));
    }
    return failed;
}

// Ctrl-C while waiting: the first asks for the copy to be cancelled, the second ends the wait.
// The handler only notes it and wakes the main loop through a pipe.
volatile std::sig_atomic_t interruptions = 0;
volatile std::sig_atomic_t stderrIsTerminal = 0;
int wakeWriter = -1;

extern "C" void onInterrupt(int)
{
    if (interruptions > 0) {
        // Off the line the terminal echoed ^C on, for the shell's prompt.
        if (stderrIsTerminal)
            (void)!::write(STDERR_FILENO, "\n", 1);
        ::_exit(interrupted);
    }
    interruptions = 1;
    const int saved = errno;
    (void)!::write(wakeWriter, "i", 1);
    errno = saved;
}

// From now on Ctrl-C is caught; yields the end of the pipe the handler writes to, -1 when that
// could not be set up (Ctrl-C then ends the process as usual).
int catchInterrupts()
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    wakeWriter = pipe[1];
    stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted: an interrupted write of the report must not lose a line.
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return -1;
    }
    return pipe[0];
}

// The line on stderr that shows how far the copy has come, redrawn in place; cleared before
// anything else is printed, since stdout is most likely the same terminal.
class ProgressBar {
public:
    void show(const ProgressFigures& figures)
    {
        m_figures = figures;
        draw();
    }

    // Draws the last figures again, after a line of the report.
    void draw()
    {
        if (!m_figures)
            return;
        winsize size{};
        const int columns =
            ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
        // One column short of the width: a line that reaches the last column wraps on some
        // terminals, and \r would then return to the wrong line.
        const std::string line = "\r" + progressLine(*m_figures, columns - 1) + "\033[K";
        std::fputs(line.c_str(), stderr);
        m_drawn = true;
    }

    void clear()
    {
        if (m_drawn)
            std::fputs("\r\033[K", stderr);
        m_drawn = false;
    }

    // No more drawing: the copy is being cancelled.
    void stop()
    {
        clear();
        m_figures.reset();
    }

private:
    std::optional<ProgressFigures> m_figures;
    bool m_drawn = false;
};

// Whether stderr is a terminal that can show the bar.
bool showsProgress()
{
    const char* term = std::getenv("TERM");
    return ::isatty(STDERR_FILENO) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

// Prints the host's report of the request as it comes; the exit status says whether everything
// was copied, or that the user cancelled. `wakeReader` is the interrupt handler's pipe (-1:
// none); `bar` shows progress, when there is a terminal to show it on.
int waitForOutcome(HostConnection& connection, int wakeReader, ProgressBar* bar)
{
    bool cancelling = false;
    for (;;) {
        if (interruptions > 0 && !cancelling) {
            cancelling = true;
            if (bar)
                bar->stop();
            // A host that is gone by now tells no outcome either; the read below finds that.
            connection.cancel();
            fail(failed, translate("cancelling the copy\u2026 (Ctrl-C again stops waiting for its "
                                   "report)"));
        }
        const auto record = connection.nextOutcome(wakeReader);
        if (!record) {
            if (record.error() == HostConnection::NoOutcome::woken) {
                char drained[16];
                while (::read(wakeReader, drained, sizeof drained) > 0) {
                }
                continue;
            }
            if (bar)
                bar->clear();
            fail(failed, translate("Ambrevoli stopped before it told how the copy went"));
            return cancelling ? interrupted : failed;
        }
        switch (record->kind) {
        case OutcomeRecord::Kind::progress:
            if (bar && !cancelling)
                bar->show(record->figures);
            break;
        case OutcomeRecord::Kind::line:
            if (bar)
                bar->clear();
            // Paths and labels in it are anybody's: a file name must not command the terminal.
            std::printf("%s\n", terminalSafe(record->text).c_str());
            std::fflush(stdout);
            if (bar)
                bar->draw();
            break;
        case OutcomeRecord::Kind::end:
            if (bar)
                bar->clear();
            if (cancelling)
                return interrupted;
            return record->allCopied ? handedOff : failed;
        }
    }
}

int send(std::string_view to, const std::vector<std::string>& files, bool wait)
{
    const auto destinations = loadDestinations();
    if (!destinations)
        return fail(failed, describe(destinations.error()));

    // Each match as the target it sends to, with the name that tells it from the others.
    std::vector<std::pair<SendTarget, std::string>> matches;
    const auto id = Uuid::parse(to);
    for (const Destination& destination : *destinations)
        if ((id && destination.id() == *id) || destination.label() == to)
            matches.emplace_back(destination.id(),
                                 destination.id().text() + "  " + destination.path());
    for (const Volume& drive : drives())
        if (drive.label == to || drive.target.root == normalizedPath(to))
            matches.emplace_back(drive.target, drive.target.root + "  (drive)");
    if (matches.empty())
        return fail(usageError, notCalled(to));
    if (matches.size() > 1) {
        std::string ids;
        for (const auto& match : matches)
            ids += "\n  " + match.second;
        // TRANSLATORS: %1$s is the name the user gave; a list of the matches follows.
        return fail(usageError, formatted(translate("several destinations are called \"%1$s\"; "
                                                    "name one by its identifier (a drive by its "
                                                    "folder):"),
                                          {std::string(to)}) +
                                    ids);
    }

    std::vector<std::string> sources;
    for (const std::string& file : files)
        // One that can't be made absolute is handed over as it is, and refused as missing.
        sources.push_back(absolutePath(file).value_or(file));
    if (wait) {
        // Caught before the request goes out: a Ctrl-C while the host starts cancels its copy too.
        const int wakeReader = catchInterrupts();
        ProgressBar bar;
        const bool withBar = showsProgress();
        if (withBar)
            // The user's decimal point in the sizes.
            std::setlocale(LC_NUMERIC, "");
        auto sent =
            sendSelectionAndWait(matches.front().first, std::move(sources), startPatience, withBar);
        if (!sent)
            return failedSend(to, sent.error());
        // First, so that a script can undo exactly this send later.
        std::printf("Request %s\n", sent->requestID.text().c_str());
        std::fflush(stdout);
        return waitForOutcome(sent->connection, wakeReader, withBar ? &bar : nullptr);
    }
    // The send still goes through: the host it starts copies it alone and ends. The user hears
    // why nothing stays running to take the next one.
    if (auto checked = HostConnection::checkSocketFolder(HostConnection::socketPath(), false);
        !checked)
        // TRANSLATORS: %1$s is the technical reason, left in English.
        fail(handedOff, formatted(translate("warning: %1$s, so Ambrevoli can't keep running to "
                                            "take sends; each send starts one that copies it "
                                            "alone"),
                                  {terminalSafe(textualForm(checked.error()))}));
    const auto sent = sendSelection(matches.front().first, std::move(sources));
    return sent ? handedOff : failedSend(to, sent.error());
}

int undo(std::string_view which)
{
    std::optional<Uuid> requestID;
    if (which != "last") {
        requestID = Uuid::parse(which);
        if (!requestID)
            // TRANSLATORS: %1$s is what the user gave; keep "last" as it is.
            return fail(usageError,
                        formatted(translate("\"%1$s\" is neither \"last\" nor a request "
                                            "identifier"),
                                  {terminalSafe(which)}));
    }
    auto connection = undoAndWait(requestID, startPatience);
    if (!connection)
        return failedSend({}, connection.error());
    return waitForOutcome(*connection, -1, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    // The user's language for what people read, and only that: the rest of the C library keeps
    // the "C" locale, whose behaviour the machine-read output (--list, "Request …") relies on.
    std::setlocale(LC_MESSAGES, "");
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::fputs(translate(usage).c_str(), stdout);
        return handedOff;
    }
    if (arguments.size() == 1 && arguments[0] == "--list")
        return list();
    if (arguments.size() == 2 && arguments[0] == "--undo")
        return undo(arguments[1]);
    if (arguments.size() >= 3 && arguments[0] == "--to")
        return send(arguments[1], {arguments.begin() + 2, arguments.end()}, false);
    if (arguments.size() >= 4 && arguments[0] == "--wait" && arguments[1] == "--to")
        return send(arguments[2], {arguments.begin() + 3, arguments.end()}, true);
    std::fputs(translate(usage).c_str(), stderr);
    return usageError;
}

// The host application: normally windowless, one instance per user. Started by a sender with a
// handoff URL, by the user, or with --add-destination; a later start hands its work to the
// running instance and exits. A start that only adds destinations never stays: with no
// instance running it adds them itself.

#include "app_delegate.h"
#include "app_group.h"
#include "bundle_info.h"
#include "copy_summary.h"
#include "destination_adding.h"
#include "destinations_model.h"
#include "extension_probe.h"
#include "freedesktop_notification_service.h"
#include "gnome_notification_switch.h"
#include "handoff_url.h"
#include "instance_channel.h"
#include "log.h"
#include "main_menu.h"
#include "paths.h"
#include "translation.h"
#include "updater.h"
#include "window_activation.h"
#include "window_coordinator.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace ambrevoli;

namespace {

constexpr const char* usage =
    // TRANSLATORS: ambrevoli --help. Keep the options, the capitalised placeholders (URL,
    // FOLDER) and the addresses as they are, and the lines within 80 columns.
    N_("Usage: ambrevoli [--background] [--settings] [URL...]\n"
       "       ambrevoli --add-destination FOLDER...\n"
       "\n"
       "Runs the Ambrevoli host, or hands the URLs (ambrevoli://send?request=…,\n"
       "ambrevoli://settings) or the folders to add to the one already running.\n"
       "With no arguments, opens the welcome guide, or the settings window once the\n"
       "guide was finished.\n"
       "  --background       do not raise a window\n"
       "  --settings         open the settings window\n"
       "  --add-destination  add the FOLDERs to the Send To destinations; tells what\n"
       "                     became of each, exits 1 when none could be added\n");

struct Arguments {
    InstanceMessage message;
    bool help = false;
    bool valid = true;
};

Arguments parse(int argc, char** argv)
{
    Arguments parsed;
    parsed.message.activates = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (argument == "--background") {
            parsed.message.activates = false;
        } else if (argument == "--settings") {
            parsed.message.urls.append(QString::fromStdString(HandoffURL::settings().url()));
        } else if (argument == "--add-destination") {
            for (++i; i < argc; ++i)
                parsed.message.addFolders.append(QString::fromLocal8Bit(argv[i]));
            parsed.valid = !parsed.message.addFolders.isEmpty();
        } else if (argument.starts_with("-")) {
            parsed.valid = false;
        } else {
            parsed.message.urls.append(QString::fromLocal8Bit(argv[i]));
        }
    }
    // The application grid starts the host with nothing at all.
    parsed.message.reopens = argc == 1;
    return parsed;
}

// The running host works in a folder of its own: relative folders are this start's. False when
// this start's folder can't be told, or for "", which names no folder (not this one).
bool makeAbsolute(QStringList& folders)
{
    for (QString& folder : folders) {
        if (folder.startsWith(u'/'))
            continue;
        const auto absolute = absolutePath(QFile::encodeName(folder).toStdString());
        if (!absolute)
            return false;
        folder = QFile::decodeName(QByteArray::fromStdString(*absolute));
    }
    return true;
}

// One line per folder; exit status 1 when none of them is a destination now.
int tell(const QStringList& folders, const std::vector<FolderOutcome>& outcomes)
{
    bool any = false;
    for (std::size_t i = 0; i < outcomes.size() && i < std::size_t(folders.size()); ++i) {
        const std::string words = translate(wordsFor(outcomes[i]).data());
        const bool isOne = isDestination(outcomes[i]);
        std::fprintf(isOne ? stdout : stderr, "%s: %s\n", words.c_str(),
                     QFile::encodeName(folders[qsizetype(i)]).constData());
        any = any || isOne;
    }
    return any ? 0 : 1;
}

// With no instance running, a start that only adds folders adds them itself, holding the
// instance lock meanwhile so that no host starts writing the destinations at the same time.
std::vector<FolderOutcome> addWithoutInstance(const QStringList& folders)
{
    const auto group = AppGroup::fromMainBundle();
    const auto file =
        group ? group->destinationsFile()
              : std::expected<std::string, AppGroupError>(std::unexpected(group.error()));
    if (!file) {
        logError(logger("requests"), "Can't reach the App Group container", file.error());
        return std::vector<FolderOutcome>(folders.size(), FolderOutcome::notSaved);
    }
    DestinationsModel model(*file);
    return addDestinations(model, folders);
}

// After the event loop ended (a termination signal, Quit): the copies under way finish rather
// than leave hidden temporary items behind. Events are still served meanwhile, so that a waiting
// sender's Ctrl-C and the progress notification's Cancel still stop a long copy (a logout need
// not wait for it to the end), and its outcome lines and notification go out. The notification
// server gets a few seconds at most once the last copy is done.
void finishCopiesUnderWay(QThreadPool& copies, ResultNotifier& notifier)
{
    constexpr int deliveryGraceMs = 3000;
    if (copies.activeThreadCount() > 0) {
        QEventLoop finishing;
        QTimer done;
        QObject::connect(&done, &QTimer::timeout, &finishing, [&] {
            if (copies.activeThreadCount() == 0)
                finishing.quit();
        });
        done.start(std::chrono::milliseconds(50));
        finishing.exec();
    }
    copies.waitForDone();
    QCoreApplication::sendPostedEvents();
    if (!notifier.isDelivering())
        return;
    QEventLoop delivering;
    QObject::connect(&notifier, &ResultNotifier::deliveriesFinished, &delivering,
                     &QEventLoop::quit);
    QTimer::singleShot(deliveryGraceMs, &delivering, &QEventLoop::quit);
    delivering.exec();
}

// SIGTERM (a logout) and SIGINT end the event loop instead of the process, so that copies under
// way finish rather than leave hidden temporary items in their destinations.
int quitPipe[2] = {-1, -1};

void requestQuit(int)
{
    const char byte = 1;
    (void)!::write(quitPipe[1], &byte, 1);
}

void quitOnTerminationSignals(QApplication& app)
{
    if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        // Left in the pipe, the bytes would wake every later pass of the loops that keep
        // running while the copies finish.
        char drained[64];
        while (::read(quitPipe[0], drained, sizeof drained) > 0) {
        }
        logger("requests").log(LogLevel::standard, "Quitting on a termination signal");
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = requestQuit;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// Replaces this process with the host the package manager just installed (not this binary's
// own, now replaced, file), in the background. Returns only when that failed.
void restartInstalledHost()
{
    const std::string host(mainBundle().hostExecutable);
    logger("updates").log(LogLevel::standard, "Restarting into the installed update");
    char background[] = "--background";
    char* arguments[] = {const_cast<char*>(host.c_str()), background, nullptr};
    ::execv(host.c_str(), arguments);
    logger("updates").log(LogLevel::error, "Couldn't restart into the installed update: errno ",
                          errno);
}

// Each connection of a later start or a waiting sender and each copy holds descriptors, and any
// process of the user can open connections: the usual soft limit of 1024 is a burst away.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Whether this process was started with a display to show windows on.
bool hasDisplay() { return std::getenv("WAYLAND_DISPLAY") || std::getenv("DISPLAY"); }

// Without a display the host still runs: copies and notifications need none.
void chooseDisplayPlatform()
{
    if (std::getenv("QT_QPA_PLATFORM") || std::getenv("WAYLAND_DISPLAY") || std::getenv("DISPLAY"))
        return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

} // namespace

int main(int argc, char** argv)
{
    // A host started from a terminal or a pipe logs (without a journal) to an error output that
    // may close while it runs: that must not end the host.
    ::signal(SIGPIPE, SIG_IGN);
    // The user's language for what is printed before the application object (which sets the
    // whole locale) exists.
    std::setlocale(LC_MESSAGES, "");
    Arguments arguments = parse(argc, argv);
    if (arguments.help || !arguments.valid) {
        std::fputs(translate(usage).c_str(), arguments.help ? stdout : stderr);
        return arguments.help ? 0 : 2;
    }
    QStringList& folders = arguments.message.addFolders;
    if (!makeAbsolute(folders)) {
        std::fprintf(
            stderr, "ambrevoli: %s\n",
            translate("the current folder can't be found to add relative folders").c_str());
        return 1;
    }
    // Folders alone make a command that reports and ends; a start with URLs may stay as the host.
    const bool onlyAdding = !folders.isEmpty() && arguments.message.urls.isEmpty();
    arguments.message.activationToken = takeLaunchActivationToken();
    arguments.message.hasDisplay = hasDisplay();
    adoptNumericLocaleFromEnvironment();
    chooseDisplayPlatform();

    // Without a runtime directory the instance socket lives in the container.
    QString container;
    if (const auto group = AppGroup::fromMainBundle())
        if (const auto folder = group->container())
            container = QString::fromStdString(*folder);
    // Most starts only hand a URL to the running host: that is decided before paying for a GUI
    // application object.
    const auto socketPath = InstanceChannel::defaultSocketPath(container);
    if (!socketPath)
        logDetail(logger("requests"),
                  "The folder of the instance socket isn't this user's alone; not listening",
                  textualForm(socketPath.error()));
    InstanceChannel channel(socketPath.value_or(QString()));
    const InstanceChannel::Start start = channel.claim(arguments.message);
    switch (start.role) {
    case InstanceChannel::Role::forwarded:
        return folders.isEmpty() ? 0 : tell(folders, start.receipt.folders);
    case InstanceChannel::Role::unanswered:
        logger("requests").log(LogLevel::error, "The running instance didn't answer");
        if (onlyAdding)
            std::fprintf(stderr, "ambrevoli: %s\n",
                         translate("the running Ambrevoli didn't answer").c_str());
        return 1;
    case InstanceChannel::Role::failed:
        logger("requests")
            .log(LogLevel::error, "Couldn't reach or become the running instance; doing this "
                                  "start's work alone, then ending");
        break;
    case InstanceChannel::Role::primary: break;
    }
    if (onlyAdding)
        return tell(folders, addWithoutInstance(folders));
    raiseDescriptorLimit();

    QApplication app(argc, argv);
    // The user defaults don't depend on these names: hostSettings() says where they live.
    QApplication::setApplicationName("Ambrevoli");
    QApplication::setOrganizationName("ambrevoli");
    QApplication::setDesktopFileName("ambrevoli");
    // Closing the last window never ends the host; it waits for the next request.
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnTerminationSignals(app);

    // Every copy gets a thread of its own: requests are never queued behind each other.
    QThreadPool copies;
    copies.setMaxThreadCount(1024);
    FreedesktopNotificationService notifications;
    GnomeNotificationSwitch gnomeSwitch(QApplication::desktopFileName().toStdString());
    notifications.setSwitchedOffProbe([&gnomeSwitch] { return gnomeSwitch.isSwitchedOff(); });
    // Started before anything that shows it: its checks run whether or not there are services.
    Updater updater(buildUpdaterConfiguration(), notifications);
    bool restartIntoUpdate = false;
    QObject::connect(&updater, &Updater::restartRequested, &app, [&restartIntoUpdate] {
        restartIntoUpdate = true;
        QApplication::quit();
    });
    AppDelegate delegate(notifications, copies, [&updater] { updater.showUpdateDirectly(); });
    const MainMenu menu({.showSettings = [&delegate] { delegate.showSettings(); },
                         .checkForUpdates = &updater.checkForUpdatesAction()});
    std::unique_ptr<WindowCoordinator> windows;
    if (DestinationsModel* destinations = delegate.destinations()) {
        windows = std::make_unique<WindowCoordinator>(
            *destinations, notifications, [] { return extensionStatus(); }, &menu,
            &updater.updater());
        delegate.setWindows(windows.get());
    }

    // A host without a display shows its windows nowhere: asked for one by a start that has a
    // display, it takes no more requests, finishes its copies (still reporting to the senders
    // waiting for them) and ends, and that start, which keeps trying meanwhile, becomes the
    // instance and shows the window.
    const bool showsWindows = arguments.message.hasDisplay;
    bool handingOver = false;
    const auto deliver =
        [&](const InstanceMessage& message,
            const std::shared_ptr<OutcomeWaiter>& waiter) -> std::optional<InstanceReceipt> {
        if (!showsWindows && message.hasDisplay && LaunchRouter::asksForWindow(message)) {
            if (!std::exchange(handingOver, true)) {
                logger("requests")
                    .log(LogLevel::standard, "Handing over to a start that can show windows");
                QTimer::singleShot(0, &app, [] { QApplication::quit(); });
            }
            return std::nullopt;
        }
        return delegate.route(message, false, waiter);
    };
    if (start.role == InstanceChannel::Role::primary && !channel.listen(deliver))
        logger("requests").log(LogLevel::error, "Later starts can't reach this instance");

    // This launch's own message: its URLs arrive before launching finishes, as they would from
    // the desktop.
    if (const InstanceReceipt own = delegate.route(arguments.message, true); !folders.isEmpty())
        tell(folders, own.folders);
    // Nobody can reach a host that is not the instance: it would stay for good, and every send
    // would leave one more. It ends once its own work is done.
    QTimer idle;
    if (start.role != InstanceChannel::Role::primary) {
        QObject::connect(&idle, &QTimer::timeout, &app, [&] {
            if (copies.activeThreadCount() == 0 && !delegate.notifier().isDelivering() &&
                !(windows && windows->hasVisibleWindows()))
                QApplication::quit();
        });
        idle.start(std::chrono::milliseconds(250));
    }

    const int status = QApplication::exec();
    // Later starts wait for the next instance rather than hand work to one that is ending.
    channel.stopListening();
    finishCopiesUnderWay(copies, delegate.notifier());
    // The delegate and the notification service outlive the window coordinator and the GNOME
    // switch they were handed: nothing may reach those once this scope starts to end.
    delegate.setWindows(nullptr);
    notifications.setSwitchedOffProbe({});
    if (restartIntoUpdate)
        restartInstalledHost();
    return status;
}

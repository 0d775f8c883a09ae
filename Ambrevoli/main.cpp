// The host application: normally windowless, one instance per user. Started by a sender with a
// handoff URL, by the user, or with --add-destination; a later start hands its work to the
// running instance and exits.

#include "app_delegate.h"
#include "app_group.h"
#include "copy_summary.h"
#include "extension_probe.h"
#include "freedesktop_notification_service.h"
#include "gnome_notification_switch.h"
#include "handoff_url.h"
#include "instance_channel.h"
#include "log.h"
#include "window_activation.h"
#include "window_coordinator.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QThreadPool>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace ambrevoli;

namespace {

constexpr char usage[] = "Usage: ambrevoli [--background] [--settings] [URL...]\n"
                         "       ambrevoli --add-destination FOLDER...\n"
                         "\n"
                         "Runs the Ambrevoli host, or hands the URLs (ambrevoli://send?request=…,\n"
                         "ambrevoli://settings) or the folders to add to the one already running.\n"
                         "  --background       do not raise a window\n"
                         "  --settings         open the settings window\n"
                         "  --add-destination  add the FOLDERs to the Send To destinations\n";

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
    return parsed;
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
    Arguments arguments = parse(argc, argv);
    if (arguments.help || !arguments.valid) {
        std::fputs(usage, arguments.help ? stdout : stderr);
        return arguments.help ? 0 : 2;
    }
    arguments.message.activationToken = takeLaunchActivationToken();
    adoptNumericLocaleFromEnvironment();
    chooseDisplayPlatform();

    // Without a runtime directory the instance socket lives in the container.
    QString container;
    if (const auto group = AppGroup::fromMainBundle())
        if (const auto folder = group->container())
            container = QString::fromStdString(*folder);
    const QString socketPath = InstanceChannel::defaultSocketPath(container);
    // Most starts only hand a URL to the running host: do that before paying for a GUI
    // application object.
    if (InstanceChannel::handOff(socketPath, arguments.message))
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName("Ambrevoli");
    QApplication::setDesktopFileName("ambrevoli");
    // Closing the last window never ends the host; it waits for the next request.
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnTerminationSignals(app);

    InstanceChannel channel(socketPath);
    switch (channel.start(arguments.message)) {
    case InstanceChannel::Role::forwarded: return 0;
    case InstanceChannel::Role::failed:
        logger("requests")
            .log(LogLevel::error, "Couldn't reach or become the running instance; running alone");
        break;
    case InstanceChannel::Role::primary: break;
    }

    // Every copy gets a thread of its own: requests are never queued behind each other.
    QThreadPool copies;
    copies.setMaxThreadCount(1024);
    FreedesktopNotificationService notifications;
    GnomeNotificationSwitch gnomeSwitch(QApplication::desktopFileName().toStdString());
    notifications.setSwitchedOffProbe([&gnomeSwitch] { return gnomeSwitch.isSwitchedOff(); });
    AppDelegate delegate(notifications, copies);
    std::unique_ptr<WindowCoordinator> windows;
    if (DestinationsModel* destinations = delegate.destinations()) {
        windows = std::make_unique<WindowCoordinator>(*destinations, notifications,
                                                      [] { return isFinderExtensionEnabled(); });
        delegate.setShowSettings([&windows] { windows->showSettings(); });
    }

    auto deliver = [&delegate, &windows](const InstanceMessage& message) {
        // The token is the leave for a window this message opens; a message that opens none
        // ends the desktop's wait for one.
        if (windows)
            windows->setActivationToken(message.activationToken);
        if (!message.addFolders.isEmpty())
            delegate.addFolders(message.addFolders);
        if (!message.urls.isEmpty())
            delegate.openURLs(message.urls);
        if (windows)
            windows->dropActivationToken();
        else
            endStartup(message.activationToken);
    };
    QObject::connect(&channel, &InstanceChannel::messageReceived, &delegate, deliver);

    // The launch's own URLs arrive before launching finishes, as they would from the desktop.
    deliver(arguments.message);
    delegate.didFinishLaunching();

    const int status = QApplication::exec();
    copies.waitForDone(); // a copy under way finishes rather than leaving a hidden temporary
    return status;
}

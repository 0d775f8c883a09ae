// settings_open: how long `ambrevoli --settings` takes to put the settings window on the screen,
// with 50 destinations, measured from outside as the user sees it: from starting the command
// until the window is mapped, and until its content is painted (a pixel in its middle is no
// longer the empty window's black). Three cases: a cold start (no host running), a host that
// runs but has not shown the window yet, and a host whose window was open before and closed.
//
// Runs everything on a virtual X display of its own (Xvfb, no window manager) in a throwaway
// folder, which it removes afterwards.
//
// Usage: settings_open HOST [RUNS]   (RUNS defaults to 20)

#include "timing.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace ambrevoli::bench;

namespace {

constexpr int destinationCount = 50;
constexpr int timeoutMilliseconds = 20000;
constexpr char title[] = "Ambrevoli Settings";

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "settings_open: %s\n", message.c_str());
    std::exit(1);
}

// A program that ends with the benchmark, however it ends.
class Child : public QProcess {
public:
    Child()
    {
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~Child() override { stop(); }
    void stop()
    {
        if (state() == QProcess::NotRunning)
            return;
        terminate();
        if (!waitForFinished(5000)) {
            kill();
            waitForFinished(5000);
        }
    }
};

template <class T> std::unique_ptr<T, decltype(&std::free)> owned(T* value)
{
    return {value, &std::free};
}

// The display's root window as a window manager sees it: which windows map and unmap.
class Display {
public:
    explicit Display(const QByteArray& name) : m_connection(xcb_connect(name.constData(), nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            die("can't connect to the virtual display");
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
        m_name = atom("_NET_WM_NAME");
    }
    ~Display() { xcb_disconnect(m_connection); }

    // Waits until a window titled `title` maps; yields it.
    xcb_window_t waitForMap()
    {
        while (auto event = next()) {
            if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY)
                continue;
            const auto window = reinterpret_cast<xcb_map_notify_event_t*>(event.get())->window;
            if (isTitled(window))
                return window;
        }
        die("the settings window never mapped");
    }

    void waitForUnmap(xcb_window_t window)
    {
        while (auto event = next())
            if ((event->response_type & 0x7f) == XCB_UNMAP_NOTIFY &&
                reinterpret_cast<xcb_unmap_notify_event_t*>(event.get())->window == window)
                return;
        die("the settings window never unmapped");
    }

    // Waits until the middle of `window` shows something other than black: the first paint.
    void waitForPaint(xcb_window_t window)
    {
        auto geometry = owned(
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
        if (!geometry)
            die("the settings window went away");
        const auto start = Clock::now();
        while (millisecondsSince(start) < timeoutMilliseconds) {
            auto image =
                owned(xcb_get_image_reply(m_connection,
                                          xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                        window, int16_t(geometry->width / 2),
                                                        int16_t(geometry->height / 2), 1, 1, ~0u),
                                          nullptr));
            if (image) {
                const uint8_t* data = xcb_get_image_data(image.get());
                const int length = xcb_get_image_data_length(image.get());
                for (int i = 0; i < std::min(length, 3); ++i)
                    if (data[i] != 0)
                        return;
            }
            ::usleep(200);
        }
        die("the settings window was never painted");
    }

    // Asks `window` to close, as a window manager's close button does.
    void close(xcb_window_t window)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        xcb_send_event(m_connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(m_connection);
    }

private:
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> next()
    {
        const auto start = Clock::now();
        while (millisecondsSince(start) < timeoutMilliseconds) {
            if (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
                return owned(event);
            if (xcb_connection_has_error(m_connection))
                break;
            pollfd descriptor{xcb_get_file_descriptor(m_connection), POLLIN, 0};
            ::poll(&descriptor, 1, 100);
        }
        return owned<xcb_generic_event_t>(nullptr);
    }

    bool isTitled(xcb_window_t window)
    {
        auto value = owned(xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, 0, window, m_name, XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
            nullptr));
        return value && xcb_get_property_value_length(value.get()) == int(std::strlen(title)) &&
               std::memcmp(xcb_get_property_value(value.get()), title, std::strlen(title)) == 0;
    }

    xcb_atom_t atom(const char* name)
    {
        auto value = owned(xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name),
            nullptr));
        return value ? value->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_atom_t m_name = XCB_ATOM_NONE;
};

struct Timing {
    std::vector<double> mapped, painted;
};

class Bench {
public:
    Bench(QString host, const QString& folder, const QByteArray& display)
        : m_host(std::move(host)), m_folder(folder)
    {
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert("HOME", folder + "/home");
        m_environment.insert("XDG_DATA_HOME", folder + "/home/.local/share");
        m_environment.insert("XDG_CONFIG_HOME", folder + "/home/.config");
        m_environment.insert("XDG_CACHE_HOME", folder + "/home/.cache");
        m_environment.insert("XDG_RUNTIME_DIR", folder + "/run");
        m_environment.insert("DISPLAY", QString::fromUtf8(display));
        m_environment.insert("QT_QPA_PLATFORM", "xcb");
        m_environment.insert("AMBREVOLI_LOG", "stderr");
        m_environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/no-bus");
        for (const char* name : {"WAYLAND_DISPLAY", "XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"})
            m_environment.remove(name);
        QDir().mkpath(folder + "/run");
        QFile::setPermissions(folder + "/run",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Starts the host in the background and waits until it listens for later starts.
    std::unique_ptr<Child> startHost(const QStringList& arguments = {"--background"})
    {
        auto host = start(arguments);
        const QString socket = m_folder + "/run/ambrevoli/instance";
        const auto began = Clock::now();
        while (!QFile::exists(socket) && millisecondsSince(began) < timeoutMilliseconds)
            ::usleep(1000);
        if (!QFile::exists(socket))
            die("the host never started listening");
        return host;
    }

    std::unique_ptr<Child> start(const QStringList& arguments)
    {
        auto child = std::make_unique<Child>();
        child->setProcessEnvironment(m_environment);
        child->setStandardErrorFile(m_folder + "/host.log", QIODevice::Append);
        child->start(m_host, arguments);
        if (!child->waitForStarted())
            die("can't start " + m_host.toStdString());
        return child;
    }

    // Makes 50 destination folders and adds them through a running host.
    void addDestinations()
    {
        auto host = startHost();
        QStringList folders{"--add-destination"};
        for (int i = 1; i <= destinationCount; ++i) {
            folders << m_folder + QStringLiteral("/home/Destinations/Folder %1").arg(i);
            QDir().mkpath(folders.last());
        }
        auto later = start(folders);
        later->waitForFinished(timeoutMilliseconds);
        const QString file = m_folder + "/home/.local/share/ambrevoli/destinations.json";
        const auto began = Clock::now();
        while (millisecondsSince(began) < timeoutMilliseconds) {
            QFile destinations(file);
            if (destinations.open(QIODevice::ReadOnly) &&
                destinations.readAll().count("\"label\"") == destinationCount)
                return;
            ::usleep(10000);
        }
        die("the destinations were never added");
    }

    QString m_host;
    QString m_folder;
    QProcessEnvironment m_environment;
};

void measureOne(Display& display, Bench& bench, Timing& timing, std::unique_ptr<Child>& started,
                xcb_window_t* window = nullptr)
{
    const auto start = Clock::now();
    started = bench.start({"--settings"});
    const xcb_window_t shown = display.waitForMap();
    timing.mapped.push_back(millisecondsSince(start));
    display.waitForPaint(shown);
    timing.painted.push_back(millisecondsSince(start));
    if (window)
        *window = shown;
}

void print(const std::string& what, const Timing& timing)
{
    printRow(what + ": mapped", figures(timing.mapped));
    printRow(what + ": painted", figures(timing.painted));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        die("usage: settings_open HOST [RUNS]");
    const QString host = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    if (runs < 1)
        die("RUNS must be a positive number");

    QTemporaryDir folder(QDir::tempPath() + "/ambrevoli-bench-XXXXXX");
    if (!folder.isValid())
        die("no temporary folder");
    Child xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"});
    if (!xvfb.waitForStarted() || !xvfb.waitForReadyRead(10000))
        die("Xvfb did not start (scripts/install-deps installs it)");
    const QByteArray displayName = ":" + xvfb.readLine().trimmed();
    Display display(displayName);
    Bench bench(host, folder.path(), displayName);
    bench.addDestinations();

    // Nothing running: the host starts, loads the destinations and shows the window.
    Timing cold;
    for (int i = 0; i < runs; ++i) {
        std::unique_ptr<Child> started;
        measureOne(display, bench, cold, started);
        started->stop();
    }

    // A host that has run (copies, say) but never shown the window: a later start hands the
    // request over, the host makes the window.
    Timing firstWindow;
    for (int i = 0; i < runs; ++i) {
        auto running = bench.startHost();
        std::unique_ptr<Child> later;
        measureOne(display, bench, firstWindow, later);
        later->waitForFinished(timeoutMilliseconds);
        running->stop();
    }

    // A host whose window was open before: the same window shows again.
    Timing reopened;
    auto running = bench.startHost();
    for (int i = 0; i < runs + 1; ++i) {
        Timing timing;
        std::unique_ptr<Child> later;
        xcb_window_t window = 0;
        measureOne(display, bench, timing, later, &window);
        later->waitForFinished(timeoutMilliseconds);
        display.close(window);
        display.waitForUnmap(window);
        if (i == 0)
            continue; // the window's first showing belongs to the case above
        reopened.mapped.push_back(timing.mapped.front());
        reopened.painted.push_back(timing.painted.front());
    }
    running->stop();

    double load[1] = {0};
    ::getloadavg(load, 1);
    std::printf("Opening the settings window with %d destinations: from starting `ambrevoli "
                "--settings` to the window on the screen (Xvfb, no window manager, %d runs, "
                "load average %.1f on %ld cores)\n",
                destinationCount, runs, load[0], ::sysconf(_SC_NPROCESSORS_ONLN));
    printHeader("");
    print("cold start", cold);
    print("host running, window not made yet", firstWindow);
    print("host running, window reopened", reopened);
    std::printf("cold start, painted:\n");
    printTarget(300, figures(cold.painted));
    std::printf("host running, window reopened, painted:\n");
    printTarget(50, figures(reopened.painted));
    return 0;
}

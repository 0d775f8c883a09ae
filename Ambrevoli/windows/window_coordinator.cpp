#include "window_coordinator.h"

#include "destinations_model.h"
#include "first_launch_guide.h"
#include "folder_chooser.h"
#include "host_settings.h"
#include "log.h"
#include "main_menu.h"
#include "qt_translation.h"
#include "settings_view.h"
#include "window_activation.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>

namespace ambrevoli {

// Log lines stay English whatever language the window speaks.
constexpr char englishTitleProperty[] = "ambrevoliEnglishTitle";

WindowCoordinator::WindowCoordinator(DestinationsModel& destinations,
                                     NotificationService& notifications,
                                     std::function<ExtensionStatus()> extensionProbe,
                                     const MainMenu* menu, SoftwareUpdater* updater,
                                     QObject* parent)
    : QObject(parent), m_destinations(destinations),
      m_setup(notifications, std::move(extensionProbe)), m_menu(menu), m_updater(updater)
{
    m_folderChooser.setFallback([](const QString& title, const QString& token,
                                   PortalFolderChooser::Done done) {
        // Never shown: the chooser is a window of its own, and goes with it.
        auto* holder = new QWidget;
        auto* chooser = new FolderChooser(*holder, title, FolderChooser::Selection::one);
        connect(chooser, &FolderChooser::chosen, holder,
                [holder, done](const std::vector<std::string>& paths) {
                    holder->deleteLater();
                    done(paths.empty() ? std::nullopt
                                       : std::optional(QString::fromStdString(paths.front())));
                });
        connect(chooser, &FolderChooser::cancelled, holder, [holder, done] {
            holder->deleteLater();
            done(std::nullopt);
        });
        chooser->open(token);
    });
    // Back from another application: the user may have deleted a destination folder or
    // restarted the file manager with the module meanwhile.
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive)
                    return;
                m_setup.refresh();
                m_destinations.refresh();
            });
}

WindowCoordinator::~WindowCoordinator()
{
    if (m_settingsWindow && m_settingsWindow->isVisible())
        saveSettingsGeometry();
}

void WindowCoordinator::setActivationToken(QString token)
{
    if (!m_activationToken.isEmpty() && m_activationToken != token)
        endStartup(m_activationToken);
    m_activationToken = std::move(token);
}

void WindowCoordinator::dropActivationToken()
{
    endStartup(std::exchange(m_activationToken, QString()));
}

void WindowCoordinator::chooseFolder(const QString& title,
                                     std::function<void(std::optional<QString>)> done)
{
    // Taken, so that the end of the start that asked doesn't end it before a chooser shows. The
    // portal's chooser is the portal's window: then the desktop stops waiting once it is done.
    const QString token = std::exchange(m_activationToken, QString());
    m_folderChooser.choose(title, token,
                           [token, done = std::move(done)](std::optional<QString> folder) {
                               endStartup(token);
                               done(std::move(folder));
                           });
}

void WindowCoordinator::showSettings()
{
    m_destinations.refresh();
    m_setup.refresh();
    if (!m_settingsWindow)
        makeSettingsWindow();
    show(*m_settingsWindow);
}

void WindowCoordinator::showGuide()
{
    m_setup.refresh();
    if (!m_guideWindow)
        makeGuideWindow();
    show(*m_guideWindow);
}

void WindowCoordinator::finishGuide()
{
    hostSettings().setValue(firstLaunchGuideFinishedKey, true);
    if (m_guideWindow)
        m_guideWindow->close();
}

bool WindowCoordinator::hasVisibleWindows() const
{
    // A minimized window counts as shown for Qt, not for a user who starts the host again to
    // get a window back.
    const auto onScreen = [](const QMainWindow* window) {
        return window && window->isVisible() && !window->isMinimized();
    };
    return onScreen(m_settingsWindow.get()) || onScreen(m_guideWindow.get());
}

void WindowCoordinator::show(QMainWindow& window)
{
    setActivationPolicy(ActivationPolicy::regular);
    const QString token = std::exchange(m_activationToken, QString());
    bringToFront(window, token);
    // Whether the desktop had a reason to raise it: without a token it may leave it behind.
    logger("settings")
        .log(LogLevel::standard, "Showed the window \"",
             window.property(englishTitleProperty).toString().toStdString(), "\" ",
             token.isEmpty() ? "without an activation token" : "with an activation token");
}

std::unique_ptr<QMainWindow> WindowCoordinator::makeWindow(const char* objectName,
                                                           const char* title, QWidget* content)
{
    auto window = std::make_unique<QMainWindow>();
    window->setObjectName(QString::fromUtf8(objectName));
    window->setWindowTitle(uiText(title));
    window->setProperty(englishTitleProperty, QString::fromUtf8(title));
    if (m_menu)
        window->setMenuBar(m_menu->makeMenuBar(window.get()));
    content->setParent(window.get());
    window->setCentralWidget(content);
    window->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->installEventFilter(this);
    return window;
}

void WindowCoordinator::makeSettingsWindow()
{
    m_settingsView = new SettingsView(m_destinations, m_setup, m_updater);
    auto window = makeWindow("settingsWindow", settingsTitle, m_settingsView);
    const QByteArray saved = hostSettings().value(settingsAutosaveName).toByteArray();
    if (!saved.isEmpty())
        window->restoreGeometry(saved);
    m_settingsWindow = std::move(window);
}

void WindowCoordinator::makeGuideWindow()
{
    // The guide's finish holds the coordinator weakly: should it run once the coordinator is
    // gone, it does nothing.
    QPointer<WindowCoordinator> coordinator(this);
    auto* guide = new FirstLaunchGuide(m_setup, m_destinations, [coordinator] {
        if (coordinator)
            coordinator->finishGuide();
    });
    m_guideWindow = makeWindow("guideWindow", guideTitle, guide);
}

bool WindowCoordinator::eventFilter(QObject* watched, QEvent* event)
{
    if (m_guideWindow && watched == m_guideWindow.get() && event->type() == QEvent::Close)
        windowWillClose(m_guideWindow.get());
    if (m_settingsWindow && watched == m_settingsWindow.get()) {
        switch (event->type()) {
        case QEvent::Close: windowWillClose(m_settingsWindow.get()); break;
        case QEvent::Move:
        case QEvent::Resize:
            // As the user leaves it, so a host that is ended meanwhile still reopens it there.
            if (m_settingsWindow->isVisible())
                saveSettingsGeometry();
            break;
        default: break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowCoordinator::windowWillClose(QWidget* window)
{
    // An edit in progress ends before the window goes, so the field is not still being edited
    // when the window shows again.
    if (window == m_settingsWindow.get()) {
        m_settingsView->endEditing();
        saveSettingsGeometry();
    }
    if (QWidget* focus = window->focusWidget())
        focus->clearFocus();
    // The application stays a regular one while another of its windows is shown.
    for (const QWidget* other : {static_cast<const QWidget*>(m_settingsWindow.get()),
                                 static_cast<const QWidget*>(m_guideWindow.get())})
        if (other && other != window && other->isVisible())
            return;
    setActivationPolicy(ActivationPolicy::accessory);
}

void WindowCoordinator::saveSettingsGeometry()
{
    hostSettings().setValue(settingsAutosaveName, m_settingsWindow->saveGeometry());
}

void WindowCoordinator::setActivationPolicy(ActivationPolicy policy)
{
    if (policy == m_policy)
        return;
    m_policy = policy;
    emit activationPolicyChanged();
}

} // namespace ambrevoli

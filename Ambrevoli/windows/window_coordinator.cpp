#include "window_coordinator.h"

#include "destinations_model.h"
#include "settings_view.h"
#include "window_activation.h"

#include <QApplication>
#include <QMainWindow>
#include <QScreen>
#include <QSettings>

namespace ambrevoli {

WindowCoordinator::WindowCoordinator(DestinationsModel& destinations,
                                     NotificationService& notifications,
                                     std::function<bool()> extensionProbe, SoftwareUpdater* updater,
                                     QObject* parent)
    : QObject(parent), m_destinations(destinations),
      m_setup(notifications, std::move(extensionProbe)), m_updater(updater)
{
    // Back from another application: the user may have deleted a destination folder or
    // restarted Files with the module meanwhile.
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

void WindowCoordinator::showSettings()
{
    m_destinations.refresh();
    m_setup.refresh();
    if (!m_settingsWindow)
        makeSettingsWindow();
    setActivationPolicy(ActivationPolicy::regular);
    bringToFront(*m_settingsWindow, std::exchange(m_activationToken, QString()));
}

void WindowCoordinator::makeSettingsWindow()
{
    auto window = std::make_unique<QMainWindow>();
    window->setObjectName(QStringLiteral("settingsWindow"));
    window->setWindowTitle(QString::fromUtf8(settingsTitle));
    m_settingsView = new SettingsView(m_destinations, m_setup, m_updater, window.get());
    window->setCentralWidget(m_settingsView);
    window->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    const QByteArray saved = QSettings().value(settingsAutosaveName).toByteArray();
    if (!saved.isEmpty())
        window->restoreGeometry(saved);
    window->installEventFilter(this);
    m_settingsWindow = std::move(window);
}

bool WindowCoordinator::eventFilter(QObject* watched, QEvent* event)
{
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
    for (const QWidget* other : {static_cast<const QWidget*>(m_settingsWindow.get())})
        if (other && other != window && other->isVisible())
            return;
    setActivationPolicy(ActivationPolicy::accessory);
}

void WindowCoordinator::saveSettingsGeometry()
{
    QSettings().setValue(settingsAutosaveName, m_settingsWindow->saveGeometry());
}

void WindowCoordinator::setActivationPolicy(ActivationPolicy policy)
{
    if (policy == m_policy)
        return;
    m_policy = policy;
    emit activationPolicyChanged();
}

} // namespace ambrevoli

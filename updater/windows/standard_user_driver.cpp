#include "standard_user_driver.h"

#include "update_window.h"
#include "window_activation.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace ambrevoli {

StandardUserDriver::StandardUserDriver(QString runningVersion, StandardUserDriverDelegate* delegate,
                                       RevealFolder revealFolder, QObject* parent)
    : QObject(parent), m_runningVersion(std::move(runningVersion)), m_delegate(delegate),
      m_revealFolder(std::move(revealFolder))
{
    if (!m_revealFolder)
        m_revealFolder = [](const QString& folder) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        };
}

StandardUserDriver::~StandardUserDriver() = default;

UpdateWindow& StandardUserDriver::ensureWindow()
{
    if (!m_window)
        m_window = std::make_unique<UpdateWindow>();
    return *m_window;
}

void StandardUserDriver::bringForward()
{
    // No start of the host hands the driver a token of the desktop's; the shared path still
    // restores a minimized window, which show() alone leaves minimized.
    bringToFront(ensureWindow(), {});
}

void StandardUserDriver::showUserInitiatedUpdateCheck(std::function<void()> cancel)
{
    ensureWindow().showChecking(std::move(cancel));
    bringForward();
}

void StandardUserDriver::showUpdateFound(const AppcastItem& update, UpdateState state,
                                         std::function<void(Choice)> reply)
{
    m_update = update;
    m_reply = std::move(reply);
    if (!state.userInitiated && m_delegate &&
        m_delegate->supportsGentleScheduledUpdateReminders()) {
        // Nothing else stands between a scheduled find and the user: the driver would show it
        // in front at once.
        constexpr bool immediateFocus = true;
        const bool handle = m_delegate->standardUserDriverShouldHandleShowingScheduledUpdate(
            update, immediateFocus);
        m_delegate->standardUserDriverWillHandleShowingUpdate(handle, update, state);
        if (!handle)
            return;
    } else if (m_delegate) {
        m_delegate->standardUserDriverWillHandleShowingUpdate(true, update, state);
    }
    showFoundInWindow();
}

void StandardUserDriver::showFoundInWindow()
{
    ensureWindow().showFound(*m_update, m_runningVersion, [this](UpdateWindow::FoundChoice choice) {
        std::function<void(Choice)> reply = m_reply;
        if (!reply)
            return;
        switch (choice) {
        case UpdateWindow::FoundChoice::install: reply(Choice::install); break;
        case UpdateWindow::FoundChoice::remindLater: reply(Choice::dismiss); break;
        case UpdateWindow::FoundChoice::skip: reply(Choice::skip); break;
        }
    });
    bringForward();
}

void StandardUserDriver::showUpdateInFocus()
{
    if (!m_update)
        return;
    // A gentle reminder's update was never put in the window: it goes there now.
    if (!m_window || !m_window->isVisible())
        showFoundInWindow();
    else
        bringForward();
    if (m_delegate)
        m_delegate->standardUserDriverDidReceiveUserAttentionForUpdate(*m_update);
}

void StandardUserDriver::showUpdateNotFound(const QString& runningVersion,
                                            std::function<void()> acknowledge)
{
    ensureWindow().showUpToDate(runningVersion, std::move(acknowledge));
    bringForward();
}

void StandardUserDriver::showUpdaterError(const UpdateError& error,
                                          std::function<void()> acknowledge)
{
    UpdateWindow::Action showFolder;
    if (!error.keptFile.isEmpty())
        showFolder = [this, folder = QFileInfo(error.keptFile).absolutePath()] {
            m_revealFolder(folder);
        };
    ensureWindow().showError(error, std::move(acknowledge), std::move(showFolder));
    bringForward();
}

void StandardUserDriver::showDownloadInitiated(std::function<void()> cancel)
{
    ensureWindow().showDownloading(std::move(cancel));
    bringForward();
}

void StandardUserDriver::showDownloadProgress(qint64 received, qint64 expected)
{
    ensureWindow().setDownloadProgress(received, expected);
}

void StandardUserDriver::showInstallingUpdate(int percent)
{
    ensureWindow().showInstalling(percent);
    if (!m_window->isVisible())
        bringForward();
}

void StandardUserDriver::showUpdateInstalled(std::function<void()> acknowledge)
{
    ensureWindow().showInstalled(m_update ? m_update->displayVersion : QString(),
                                 std::move(acknowledge));
    bringForward();
}

void StandardUserDriver::dismissUpdateInstallation()
{
    if (m_window)
        m_window->hide();
    m_update.reset();
    m_reply = {};
    if (m_delegate)
        m_delegate->standardUserDriverWillFinishUpdateSession();
}

} // namespace ambrevoli

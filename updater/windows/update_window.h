#pragma once

#include "appcast.h"
#include "translation.h"
#include "update_error.h"

#include <QWidget>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace ambrevoli {

// The window of an update session the user sees: one page at a time — checking, up to date, a
// found update with its release notes, downloading, installing, installed, or what went wrong.
// Each page's buttons answer through the handlers it was shown with; closing the window gives
// the page's quiet answer (cancel, remind me later, OK). Holds nothing beyond the page shown.
// Main thread only.
class UpdateWindow : public QWidget {
    Q_OBJECT
public:
    using Action = std::function<void()>;
    enum class FoundChoice { install, remindLater, skip };

    static constexpr char title[] = N_("Software Update");

    explicit UpdateWindow(QWidget* parent = nullptr);

    void showChecking(Action cancel);
    void showUpToDate(const QString& runningVersion, Action acknowledge);
    void showFound(const AppcastItem& update, const QString& runningVersion,
                   std::function<void(FoundChoice)> choose);
    void showDownloading(Action cancel);
    // `expected` is -1 while unknown: the bar then only shows that something happens.
    void setDownloadProgress(qint64 received, qint64 expected);
    // `percent` is -1 while PackageKit can't tell.
    void showInstalling(int percent);
    void showInstalled(const QString& version, Action acknowledge);
    // `showFolder` set: a "Show in Folder" button for the file the user may install by hand.
    void showError(const UpdateError& error, Action acknowledge, Action showFolder = {});

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Replaces the page: a heading, a text, optional extra content, then the buttons
    // (right-aligned, the last the default).
    struct Button {
        QString text;
        Action action;
        bool ends = true; // hides the window; false for a button that leaves the page up
    };
    void setPage(const QString& heading, const QString& text, QWidget* extra,
                 const std::vector<Button>& buttons, Action quietAnswer);
    void answer(const Action& action, bool ends);

    QWidget* m_page = nullptr;
    QProgressBar* m_progress = nullptr;
    Action m_quietAnswer;
};

} // namespace ambrevoli

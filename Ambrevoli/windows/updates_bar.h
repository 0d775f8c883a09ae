#pragma once

#include "translation.h"

#include <QWidget>

class QCheckBox;
class QPushButton;

namespace ambrevoli {

class SoftwareUpdater;

// The update controls at the foot of the settings window: whether the updater checks and
// downloads by itself, and a check now. Keeps no settings of its own: each switch shows what the
// updater reports and writes to the updater, and follows changes made anywhere else (the update
// window's Skip, another settings window). The second switch is off limits while the first is
// off; the button while the updater can't check (a check is running, or this build has no feed —
// its tooltip then says so). Main thread only; `updater` must outlive the bar.
class UpdatesBar : public QWidget {
    Q_OBJECT
public:
    static constexpr char checksTitle[] = N_("Check for updates automatically");
    static constexpr char downloadsTitle[] = N_("Automatically download and install updates");
    static constexpr char checkNowTitle[] = N_("Check for Updates…");

    explicit UpdatesBar(SoftwareUpdater& updater, QWidget* parent = nullptr);

private:
    void showState();

    SoftwareUpdater& m_updater;
    QCheckBox* m_checks = nullptr;
    QCheckBox* m_downloads = nullptr;
    QPushButton* m_checkNow = nullptr;
    // What the updater last reported.
    bool m_checksAutomatically = false;
    bool m_downloadsAutomatically = false;
    bool m_canCheck = false;
};

} // namespace ambrevoli

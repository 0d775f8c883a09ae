#include "updates_bar.h"

#include "qt_translation.h"
#include "software_updater.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace ambrevoli {

namespace {

constexpr int inset = 8;

} // namespace

UpdatesBar::UpdatesBar(SoftwareUpdater& updater, QWidget* parent)
    : QWidget(parent), m_updater(updater)
{
    m_checks = new QCheckBox(uiText(checksTitle), this);
    m_checks->setAccessibleName(uiText(checksTitle));
    m_downloads = new QCheckBox(uiText(downloadsTitle), this);
    m_downloads->setAccessibleName(uiText(downloadsTitle));
    m_checkNow = new QPushButton(uiText(checkNowTitle), this);
    m_checkNow->setAccessibleName(uiText(checkNowTitle));

    auto* switches = new QVBoxLayout;
    switches->addWidget(m_checks, 0, Qt::AlignLeft);
    switches->addWidget(m_downloads, 0, Qt::AlignLeft);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->addLayout(switches);
    layout->addStretch(1);
    layout->addWidget(m_checkNow, 0, Qt::AlignTop);

    // However a switch is turned (a click, the space bar, a screen reader's Toggle), it writes
    // to the updater only and then shows the updater's answer. What the bar sets itself in
    // showState() is no turn of the user's.
    connect(m_checks, &QCheckBox::toggled, this, [this](bool on) {
        m_updater.setAutomaticallyChecksForUpdates(on);
        showState();
    });
    connect(m_downloads, &QCheckBox::toggled, this, [this](bool on) {
        m_updater.setAutomaticallyDownloadsUpdates(on);
        showState();
    });
    connect(m_checkNow, &QPushButton::clicked, &m_updater, &SoftwareUpdater::checkForUpdates);

    connect(&m_updater, &SoftwareUpdater::automaticallyChecksForUpdatesChanged, this,
            [this](bool on) {
                m_checksAutomatically = on;
                showState();
            });
    connect(&m_updater, &SoftwareUpdater::automaticallyDownloadsUpdatesChanged, this,
            [this](bool on) {
                m_downloadsAutomatically = on;
                showState();
            });
    connect(&m_updater, &SoftwareUpdater::canCheckForUpdatesChanged, this, [this](bool can) {
        m_canCheck = can;
        showState();
    });
    m_checksAutomatically = m_updater.automaticallyChecksForUpdates();
    m_downloadsAutomatically = m_updater.automaticallyDownloadsUpdates();
    m_canCheck = m_updater.canCheckForUpdates();
    m_checkNow->setToolTip(m_updater.whyCannotCheck());
    showState();
}

void UpdatesBar::showState()
{
    const QSignalBlocker quietChecks(m_checks);
    const QSignalBlocker quietDownloads(m_downloads);
    m_checks->setChecked(m_checksAutomatically);
    m_downloads->setChecked(m_downloadsAutomatically);
    m_downloads->setEnabled(m_checksAutomatically);
    m_checkNow->setEnabled(m_canCheck);
}

} // namespace ambrevoli

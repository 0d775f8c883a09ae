#include "update_window.h"

#include "qt_translation.h"
#include "release_notes_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace ambrevoli {

namespace {

constexpr int inset = 20;
constexpr int spacing = 12;
constexpr int iconSize = 64;
constexpr QSize notesSize{460, 200};
constexpr int pageMinimumWidth = 320;

} // namespace

UpdateWindow::UpdateWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(uiText(title));
    setAccessibleName(uiText(title));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(inset);
    auto* icon = new QLabel(this);
    // The application's own icon; the theme's, or the style's, where it has none yet.
    QIcon appIcon = QApplication::windowIcon();
    if (appIcon.isNull())
        appIcon = QIcon::fromTheme(QStringLiteral("ambrevoli"),
                                   style()->standardIcon(QStyle::SP_MessageBoxInformation));
    icon->setPixmap(appIcon.pixmap(iconSize));
    icon->setFixedSize(iconSize, iconSize);
    icon->setAccessibleName(QStringLiteral("Ambrevoli"));
    layout->addWidget(icon, 0, Qt::AlignTop);
}

void UpdateWindow::setPage(const QString& heading, const QString& text, QWidget* extra,
                           const std::vector<Button>& buttons, Action quietAnswer)
{
    delete m_page;
    m_progress = nullptr;
    m_quietAnswer = std::move(quietAnswer);
    m_page = new QWidget(this);
    m_page->setMinimumWidth(pageMinimumWidth);
    auto* layout = new QVBoxLayout(m_page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);

    auto* headingLabel = new QLabel(heading, m_page);
    // Headings carry the feed's version text, which must not become markup.
    headingLabel->setTextFormat(Qt::PlainText);
    QFont bold = headingLabel->font();
    bold.setBold(true);
    headingLabel->setFont(bold);
    headingLabel->setWordWrap(true);
    headingLabel->setAccessibleName(heading);
    layout->addWidget(headingLabel);
    if (!text.isEmpty()) {
        auto* textLabel = new QLabel(text, m_page);
        textLabel->setWordWrap(true);
        textLabel->setTextFormat(Qt::PlainText);
        textLabel->setAccessibleName(text);
        layout->addWidget(textLabel);
    }
    if (extra) {
        extra->setParent(m_page);
        layout->addWidget(extra, 1);
    }
    if (!buttons.empty()) {
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            auto* button = new QPushButton(buttons[i].text, m_page);
            button->setAccessibleName(buttons[i].text);
            button->setDefault(i + 1 == buttons.size());
            button->setAutoDefault(i + 1 == buttons.size());
            connect(button, &QPushButton::clicked, this,
                    [this, button = buttons[i]] { answer(button.action, button.ends); });
            row->addWidget(button);
        }
        layout->addLayout(row);
    }
    static_cast<QHBoxLayout*>(this->layout())->addWidget(m_page, 1);
    // A page put into a window already on screen shows only when told to.
    m_page->show();
    this->layout()->activate();
    // Not adjustSize(): it caps a window with wrapped text at two thirds of the screen's width,
    // narrower than the release notes need on a small screen.
    resize(sizeHint().expandedTo(minimumSizeHint()));
}

void UpdateWindow::answer(const Action& action, bool ends)
{
    // A page answers once: after its answer, closing the window says nothing more.
    if (ends) {
        m_quietAnswer = {};
        hide();
    }
    if (action)
        action();
}

void UpdateWindow::closeEvent(QCloseEvent* event)
{
    answer(std::exchange(m_quietAnswer, {}), false);
    QWidget::closeEvent(event);
}

namespace {

QProgressBar* progressBar(const QString& name)
{
    auto* bar = new QProgressBar;
    bar->setAccessibleName(name);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    return bar;
}

} // namespace

void UpdateWindow::showChecking(Action cancel)
{
    QProgressBar* bar = progressBar(uiText("Checking"));
    setPage(uiText("Checking for updates…"), {}, bar, {{uiText("Cancel"), cancel}}, cancel);
    m_progress = bar;
}

void UpdateWindow::showUpToDate(const QString& runningVersion, Action acknowledge)
{
    setPage(uiText("Ambrevoli is up to date"),
            uiText("You have Ambrevoli %1, the newest version.").arg(runningVersion), nullptr,
            {{uiText("OK"), acknowledge}}, acknowledge);
}

void UpdateWindow::showFound(const AppcastItem& update, const QString& runningVersion,
                             std::function<void(FoundChoice)> choose)
{
    QWidget* notes = nullptr;
    if (!update.description.isEmpty() || update.releaseNotesURL.isValid()) {
        auto* browser = new ReleaseNotesView;
        browser->setAccessibleName(uiText("Release Notes"));
        browser->setMinimumSize(notesSize);
        if (!update.description.isEmpty())
            browser->setHtml(update.description);
        else
            browser->setHtml(
                QStringLiteral("<p><a href=\"%1\">Read the release notes</a></p>")
                    .arg(update.releaseNotesURL.toString(QUrl::FullyEncoded).toHtmlEscaped()));
        notes = browser;
    }
    auto choice = [choose](FoundChoice chosen) { return [choose, chosen] { choose(chosen); }; };
    setPage(uiText("Ambrevoli %1 is available").arg(update.displayVersion),
            uiText("You have %1. Installing asks for your password.").arg(runningVersion), notes,
            {{uiText("Skip This Version"), choice(FoundChoice::skip)},
             {uiText("Remind Me Later"), choice(FoundChoice::remindLater)},
             {uiText("Install Update"), choice(FoundChoice::install)}},
            [choose] { choose(FoundChoice::remindLater); });
}

void UpdateWindow::showDownloading(Action cancel)
{
    QProgressBar* bar = progressBar(uiText("Download progress"));
    setPage(uiText("Downloading update…"), {}, bar, {{uiText("Cancel"), cancel}}, cancel);
    m_progress = bar;
}

void UpdateWindow::setDownloadProgress(qint64 received, qint64 expected)
{
    if (!m_progress)
        return;
    if (expected <= 0) {
        m_progress->setRange(0, 0);
        return;
    }
    // Per mille, so that a large download still fits the bar's int range.
    m_progress->setRange(0, 1000);
    m_progress->setValue(int(std::clamp<qint64>(received * 1000 / expected, 0, 1000)));
}

void UpdateWindow::showInstalling(int percent)
{
    if (!m_progress || m_progress->accessibleName() != uiText("Installation progress")) {
        // No buttons and nothing to answer: PackageKit asks for the password in a window of
        // its own, and an installation can't be taken back halfway.
        QProgressBar* bar = progressBar(uiText("Installation progress"));
        setPage(uiText("Installing update…"), uiText("Enter your password if you're asked for it."),
                bar, {}, {});
        m_progress = bar;
    }
    if (percent < 0) {
        m_progress->setRange(0, 0);
    } else {
        m_progress->setRange(0, 100);
        m_progress->setValue(percent);
    }
}

void UpdateWindow::showInstalled(const QString& version, Action acknowledge)
{
    setPage(uiText("Ambrevoli was updated"),
            uiText("Ambrevoli %1 is installed. It restarts into the new version as soon "
                   "as the copies under way have finished.")
                .arg(version),
            nullptr, {{uiText("Restart Ambrevoli"), acknowledge}}, acknowledge);
}

void UpdateWindow::showError(const UpdateError& error, Action acknowledge, Action showFolder)
{
    std::vector<Button> buttons;
    if (showFolder)
        buttons.push_back({uiText("Show in Folder"), showFolder, false});
    buttons.push_back({uiText("OK"), acknowledge});
    setPage(uiText("Ambrevoli couldn't be updated"), message(error), nullptr, buttons, acknowledge);
}

} // namespace ambrevoli

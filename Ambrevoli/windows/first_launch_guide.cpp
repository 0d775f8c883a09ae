#include "first_launch_guide.h"

#include "appearance.h"
#include "copy_summary.h"
#include "destinations_model.h"
#include "folder_chooser.h"
#include "qt_translation.h"
#include "restart_confirmation.h"
#include "setup_status.h"
#include "wording.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <utility>

namespace ambrevoli {

namespace {

constexpr int inset = 24;
constexpr int itemSpacing = 20;
constexpr int columnSpacing = 6;
constexpr int stepSpacing = 12;

QString phrase(Phrase phrase) { return QString::fromUtf8(wording(phrase)); }

// A phrase that names the file manager the user runs.
QString phrase(Phrase phrase, FileManager fileManager)
{
    return QString::fromStdString(wording(phrase, shownFileManagerName(fileManager)));
}

// Secondary-coloured text that wraps onto as many lines as it needs.
QLabel* secondaryText(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    setTextColor(*label, secondaryColor(*label));
    return label;
}

} // namespace

GuideStep::GuideStep(QWidget* parent) : QWidget(parent)
{
    m_badge = new QLabel(this);
    const int side = QFontMetrics(textStyleFont(*m_badge, TextStyle::title2)).height();
    m_badge->setFixedSize(side, side);

    m_title = new QLabel(this);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(textStyleFont(*m_title, TextStyle::headline));
    m_detail = secondaryText(QString(), this);
    m_button = new QPushButton(this);
    connect(m_button, &QPushButton::clicked, this, [this] {
        // The action may change what this step shows, and with it the action itself.
        if (auto action = m_action)
            action();
    });

    auto* column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(columnSpacing);
    column->addWidget(m_title);
    column->addWidget(m_detail);
    column->addWidget(m_button, 0, Qt::AlignLeft);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(stepSpacing);
    row->addWidget(m_badge, 0, Qt::AlignTop);
    row->addLayout(column, 1);
}

void GuideStep::setContent(Content content)
{
    const QIcon badge = content.isDone ? symbolIcon(Symbol::checkmarkCircleFill)
                                       : numberedCircleIcon(content.number, secondaryColor(*this));
    m_badge->setPixmap(badge.pixmap(m_badge->size(), devicePixelRatioF()));
    m_badge->setAccessibleName(
        // TRANSLATORS: what a screen reader says of a step's numbered badge in the welcome guide.
        (content.isDone ? uiText("Step %1, done") : uiText("Step %1")).arg(content.number));
    m_title->setText(content.title);
    m_detail->setText(content.detail);

    const bool offersAction = !content.isDone && content.action;
    m_action = offersAction ? std::move(content.action->run) : nullptr;
    if (offersAction) {
        m_button->setText(content.action->title);
        m_button->setAccessibleName(content.action->title);
    }
    m_button->setVisible(offersAction);
    // The guide sizes itself to its steps at once, before any posted layout request is handled;
    // activating reaches the column too, which a hidden button does not invalidate by itself.
    layout()->invalidate();
    layout()->activate();
    updateGeometry();
}

FirstLaunchGuide::FirstLaunchGuide(SetupStatus& status, DestinationsModel& destinations,
                                   std::function<void()> finish, QWidget* parent)
    : QWidget(parent), m_status(status), m_destinations(destinations), m_finish(std::move(finish))
{
    auto* heading = new QLabel(uiText("Set Up Ambrevoli"), this);
    QFont headingFont = textStyleFont(*heading, TextStyle::title2);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    auto* header = new QVBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(columnSpacing);
    header->addWidget(heading);
    m_introduction = secondaryText(QString(), this);
    header->addWidget(m_introduction);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(itemSpacing);
    layout->addLayout(header);
    for (GuideStep*& step : m_steps) {
        step = new GuideStep(this);
        layout->addWidget(step);
    }
    // A platform without the folder-permission prompt has nothing to say about it.
    if (const QString text = phrase(Phrase::folderPermissionNote); !text.isEmpty()) {
        QLabel* note = secondaryText(text, this);
        note->setFont(textStyleFont(*note, TextStyle::callout));
        layout->addWidget(note);
    }

    auto* done = new QPushButton(uiText("Done"), this);
    done->setAccessibleName(done->text());
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, [this] { m_finish(); });
    // A default button answers Return only in a dialog; the guide sits in a plain window.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, done, &QPushButton::click);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(done);
    layout->addLayout(buttons);

    m_chooser = new FolderChooser(*this, uiText("Add Folder"), FolderChooser::Selection::one);
    connect(m_chooser, &FolderChooser::chosen, this,
            [this](const std::vector<std::string>& paths) { m_destinations.addFolders(paths); });

    connect(&m_status, &SetupStatus::extensionStateChanged, this, &FirstLaunchGuide::updateSteps);
    connect(&m_status, &SetupStatus::notificationsChanged, this, &FirstLaunchGuide::updateSteps);
    connect(&m_destinations, &DestinationsModel::libraryChanged, this,
            &FirstLaunchGuide::updateSteps);

    setFixedWidth(contentWidth);
    updateSteps();
}

FirstLaunchGuide::~FirstLaunchGuide() = default;

bool FirstLaunchGuide::isChoosingFolder() const { return m_chooser->isOpen(); }

std::array<GuideStep::Content, 3> FirstLaunchGuide::steps()
{
    const auto manageExtension = [this] { m_status.showExtensionManagementInterface(); };
    const FileManager fileManager = m_status.fileManager();
    const auto restartFileManager = [this, fileManager, manageExtension] {
        confirmFileManagerRestart(*this, fileManager, manageExtension);
    };
    GuideStep::Content extension{1, phrase(Phrase::extensionStepTitle, fileManager), {}, false, {}};
    switch (m_status.extensionState()) {
    case ExtensionState::enabled:
        extension.isDone = true;
        extension.detail = phrase(Phrase::extensionOnDetail, fileManager);
        break;
    case ExtensionState::notInstalled:
        extension.detail = phrase(Phrase::extensionNotInstalledDetail, fileManager);
        extension.action =
            GuideStep::Action{phrase(Phrase::showInstallInstructions), manageExtension};
        break;
    case ExtensionState::notLoaded:
        extension.detail = phrase(Phrase::extensionNotLoadedDetail, fileManager);
        extension.action =
            GuideStep::Action{phrase(Phrase::restartFileManager, fileManager), restartFileManager};
        break;
    }

    const AuthorizationStatus permission = m_status.notifications();
    GuideStep::Content notifications{2, uiText("Allow notifications"), {}, false, {}};
    notifications.isDone = permission == AuthorizationStatus::authorized ||
                           permission == AuthorizationStatus::provisional;
    if (notifications.isDone)
        notifications.detail = uiText("Ambrevoli can tell you when a copy finishes or fails.");
    else if (permission == AuthorizationStatus::denied)
        notifications.detail = phrase(Phrase::notificationsDeniedDetail);
    else
        notifications.detail = uiText("Ambrevoli tells you when a copy finishes or fails.");
    if (permission == AuthorizationStatus::notDetermined)
        notifications.action = GuideStep::Action{uiText("Allow Notifications"),
                                                 [this] { m_status.requestNotifications(); }};

    // Every entry counts, the ones whose folder is missing too.
    const std::size_t count = m_destinations.destinations().size();
    GuideStep::Content destination{3, uiText("Add a destination"), {}, count > 0, {}};
    const auto folders = static_cast<std::int64_t>(count);
    destination.detail =
        count > 0
            // TRANSLATORS: %1 is the number of destination folders.
            ? uiTextPlural("Send To lists %1 folder. You can add more in settings.",
                           "Send To lists %1 folders. You can add more in settings.", folders)
                  .arg(QString::fromStdString(formattedCount(folders)))
            : uiText("Pick a folder for the Send To menu. You can add more in Ambrevoli's "
                     "settings.");
    destination.action =
        GuideStep::Action{uiText("Add Folder\u2026"), [this] { m_chooser->open(); }};

    return {std::move(extension), std::move(notifications), std::move(destination)};
}

void FirstLaunchGuide::updateSteps()
{
    m_introduction->setText(phrase(Phrase::guideIntroduction, m_status.fileManager()));
    std::array<GuideStep::Content, 3> contents = steps();
    for (std::size_t i = 0; i < contents.size(); ++i)
        m_steps[i]->setContent(std::move(contents[i]));
    // Sentences change length with the state: the height follows, the width stays.
    // Measured as drawn: the style has its say on the sizes first.
    ensurePolished();
    layout()->invalidate();
    setFixedHeight(heightForWidth(contentWidth));
    // The window around it is as big as its content, also when the content shrinks.
    if (QWidget* shown = window(); shown != this && shown->isVisible())
        shown->adjustSize();
}

} // namespace ambrevoli

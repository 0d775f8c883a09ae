#include "settings_view.h"

#include "appearance.h"
#include "destination_list.h"
#include "destinations_model.h"
#include "folder_chooser.h"
#include "log.h"
#include "menu_options.h"
#include "qt_translation.h"
#include "setup_status.h"
#include "unreadable_file_notice.h"
#include "updates_bar.h"
#include "wording.h"

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <filesystem>

namespace ambrevoli {

namespace {

constexpr int regionInset = 8;
constexpr int toolbarSpacing = 6;
constexpr int bannerSymbolSide = 16;
constexpr int toolbarSymbolSide = 16;

QFrame* separator(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    line->setFixedHeight(1);
    return line;
}

QAction* makeAction(QWidget* owner, const QString& title, Symbol symbol, const QString& help,
                    const QKeySequence& shortcut = {})
{
    auto* action = new QAction(symbolIcon(symbol), title, owner);
    action->setToolTip(help);
    action->setShortcut(shortcut);
    // Only while the keyboard focus is in this content, so another window keeps its keys.
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    owner->addAction(action);
    return action;
}

QToolButton* toolbarButton(QWidget* parent, QAction* action)
{
    auto* button = new QToolButton(parent);
    button->setDefaultAction(action);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setIconSize(QSize(toolbarSymbolSide, toolbarSymbolSide));
    button->setAccessibleName(action->text());
    return button;
}

} // namespace

SettingsView::SettingsView(DestinationsModel& model, SetupStatus& setup, SoftwareUpdater* updater,
                           QWidget* parent)
    : QWidget(parent), m_model(model), m_setup(setup)
{
    setMinimumSize(minimumContentSize);

    m_addFolder = makeAction(this, uiText("Add Folder…"), Symbol::plus,
                             QString::fromUtf8(wording(Phrase::addFolderHelp)),
                             QKeySequence(Qt::CTRL | Qt::Key_O));
    m_remove = makeAction(this, uiText("Remove"), Symbol::minus,
                          // TRANSLATORS: a tooltip; "Delete" is the key's name on the keyboard.
                          uiText("Remove the selected destinations (Delete)"));
    m_moveUp = makeAction(this, uiText("Move Up"), Symbol::chevronUp,
                          QString::fromUtf8(wording(Phrase::moveUpHelp)),
                          QKeySequence(Qt::ALT | Qt::Key_Up));
    m_moveDown = makeAction(this, uiText("Move Down"), Symbol::chevronDown,
                            QString::fromUtf8(wording(Phrase::moveDownHelp)),
                            QKeySequence(Qt::ALT | Qt::Key_Down));
    m_chooser = new FolderChooser(*this, uiText("Add Folder"), FolderChooser::Selection::several);
    connect(m_addFolder, &QAction::triggered, m_chooser, [this] { m_chooser->open(); });
    connect(m_chooser, &FolderChooser::chosen, this, [this](const std::vector<std::string>& paths) {
        m_list->setSelection(m_model.addFolders(paths));
    });
    connect(m_remove, &QAction::triggered, this, &SettingsView::removeSelection);
    connect(m_moveUp, &QAction::triggered, this, [this] { shiftSelection(-1); });
    connect(m_moveDown, &QAction::triggered, this, [this] { shiftSelection(+1); });

    // The list with its banner and toolbar.
    auto* listPage = new QWidget;
    m_list = new DestinationList(model, listPage);
    connect(m_list, &DestinationList::selectionChanged, this, &SettingsView::updateActions);
    connect(m_list, &DestinationList::deleteRequested, this, &SettingsView::removeSelection);

    m_banner = new QWidget(listPage);
    {
        auto* symbol = new QLabel(m_banner);
        symbol->setPixmap(symbolIcon(Symbol::bellSlash)
                              .pixmap(QSize(bannerSymbolSide, bannerSymbolSide),
                                      devicePixelRatioF(), QIcon::Disabled));
        auto* text = new QLabel(QString::fromUtf8(wording(Phrase::notificationsOff)), m_banner);
        text->setWordWrap(true);
        text->setFont(textStyleFont(*text, TextStyle::callout));
        setTextColor(*text, secondaryColor(*text));
        auto* layout = new QHBoxLayout(m_banner);
        layout->setContentsMargins(regionInset, regionInset, regionInset, regionInset);
        layout->setSpacing(toolbarSpacing);
        layout->addWidget(symbol, 0, Qt::AlignTop);
        layout->addWidget(text, 1);
    }

    auto* toolbar = new QWidget(listPage);
    {
        m_saveError = new QLabel(toolbar);
        m_saveError->setFont(textStyleFont(*m_saveError, TextStyle::caption));
        m_saveError->setWordWrap(true);
        m_saveError->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_saveError->setTextFormat(Qt::PlainText);
        setTextColor(*m_saveError, namedRed());

        auto* layout = new QHBoxLayout(toolbar);
        layout->setContentsMargins(regionInset, regionInset, regionInset, regionInset);
        layout->setSpacing(toolbarSpacing);
        layout->addWidget(toolbarButton(toolbar, m_addFolder));
        layout->addWidget(toolbarButton(toolbar, m_remove));
        layout->addStretch(1);
        layout->addWidget(m_saveError, 4);
        layout->addWidget(toolbarButton(toolbar, m_moveUp));
        layout->addWidget(toolbarButton(toolbar, m_moveDown));
    }

    auto* drivesRow = new QWidget(listPage);
    {
        m_showDrives = new QCheckBox(uiText("Show drives in Send To"), drivesRow);
        m_showDrives->setAccessibleName(m_showDrives->text());
        m_showDrives->setChecked(MenuOptions::load(menuOptionsFile()).showsDrives);
        // toggled, not clicked: the keyboard and the accessibility Toggle action change it too.
        connect(m_showDrives, &QCheckBox::toggled, this, &SettingsView::setShowsDrives);
        auto* layout = new QHBoxLayout(drivesRow);
        layout->setContentsMargins(regionInset, regionInset, regionInset, regionInset);
        layout->addWidget(m_showDrives);
        layout->addStretch(1);
    }

    auto* listLayout = new QVBoxLayout(listPage);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    listLayout->addWidget(m_list, 1);
    listLayout->addWidget(m_banner);
    listLayout->addWidget(separator(listPage));
    listLayout->addWidget(toolbar);
    listLayout->addWidget(separator(listPage));
    listLayout->addWidget(drivesRow);
    if (updater) {
        listLayout->addWidget(separator(listPage));
        listLayout->addWidget(new UpdatesBar(*updater, listPage));
    }

    m_notice = new UnreadableFileNotice;
    connect(m_notice, &UnreadableFileNotice::startFreshClicked, this,
            [this] { m_model.startFresh(); });

    m_stack = new QStackedWidget(this);
    m_stack->addWidget(listPage);
    m_stack->addWidget(m_notice);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_stack);

    connect(&m_model, &DestinationsModel::libraryChanged, this, &SettingsView::updateContent);
    connect(&m_model, &DestinationsModel::missingIDsChanged, m_list, &DestinationList::reload);
    connect(&m_model, &DestinationsModel::saveErrorChanged, this, &SettingsView::updateSaveError);
    connect(&m_setup, &SetupStatus::notificationsChanged, this, &SettingsView::updateBanner);

    updateContent();
    updateSaveError();
    updateBanner();
}

SettingsView::~SettingsView() = default;

void SettingsView::endEditing() { m_list->endEditing(); }

std::vector<Uuid> SettingsView::selection() const { return m_list->selection(); }

bool SettingsView::isChoosingFolders() const { return m_chooser->isOpen(); }

void SettingsView::removeSelection()
{
    const std::vector<Uuid> selected = m_list->selection();
    m_model.remove({selected.begin(), selected.end()});
    m_list->setSelection({});
}

void SettingsView::shiftSelection(int step)
{
    const std::vector<Uuid> selected = m_list->selection();
    if (selected.size() == 1)
        m_model.shift(selected.front(), step);
}

void SettingsView::updateContent()
{
    if (const auto& problem = m_model.library().loadError()) {
        m_notice->setProblem(*problem);
        m_notice->setFailure(m_model.saveError());
        m_stack->setCurrentWidget(m_notice);
    } else {
        m_list->reload();
        m_stack->setCurrentIndex(0);
    }
    updateActions();
}

void SettingsView::updateActions()
{
    const bool usable = !m_model.library().loadError();
    const std::size_t selected = m_list->selection().size();
    m_addFolder->setEnabled(usable);
    m_remove->setEnabled(usable && selected > 0);
    m_moveUp->setEnabled(usable && selected == 1);
    m_moveDown->setEnabled(usable && selected == 1);
}

void SettingsView::updateBanner()
{
    m_banner->setVisible(m_setup.notifications() == AuthorizationStatus::denied);
}

std::string SettingsView::menuOptionsFile() const
{
    const std::filesystem::path destinations(m_model.library().file());
    return (destinations.parent_path() / MenuOptions::fileName).string();
}

void SettingsView::setShowsDrives(bool shows)
{
    // Read afresh: only this one option is the switch's to change.
    const std::string file = menuOptionsFile();
    MenuOptions options = MenuOptions::load(file);
    options.showsDrives = shows;
    if (const auto saved = options.save(file); !saved) {
        logError(logger("settings"), "Couldn't save the menu options", saved.error());
        // The switch shows what the menu will do, not what was asked.
        const QSignalBlocker quiet(m_showDrives);
        m_showDrives->setChecked(!shows);
    }
}

void SettingsView::updateSaveError()
{
    const auto& error = m_model.saveError();
    m_saveError->setText(error ? QString::fromStdString(*error) : QString());
    m_saveError->setVisible(error.has_value());
    m_notice->setFailure(error);
}

} // namespace ambrevoli

#include "main_menu.h"

#include "bundle_info.h"
#include "log.h"
#include "qt_translation.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>

namespace ambrevoli {

namespace {

// The widget with the keyboard focus, or the nearest of its containers, that has the slot
// `signature` (for example "copy()"); null when none has.
QObject* responder(const char* signature)
{
    for (QObject* candidate = QApplication::focusWidget(); candidate;
         candidate = candidate->parent()) {
        if (candidate->metaObject()->indexOfMethod(signature) >= 0)
            return candidate;
        if (candidate->isWidgetType() && static_cast<QWidget*>(candidate)->isWindow())
            break;
    }
    return nullptr;
}

std::function<void()> sendToResponder(const char* method)
{
    return [method] {
        const QByteArray signature = QByteArray(method) + "()";
        if (QObject* target = responder(signature.constData()))
            QMetaObject::invokeMethod(target, method);
    };
}

// A text field deletes its selection or the character after the cursor; its del() is no slot,
// so it is asked first. Otherwise the focused container deletes what it has selected (the
// destination list its rows), as its Delete key does.
void deleteSelection()
{
    if (auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget())) {
        field->del();
        return;
    }
    sendToResponder("deleteSelection")();
}

void showAbout()
{
    const std::string_view version = mainBundle().version;
    QMessageBox::about(QApplication::activeWindow(), uiText("About Ambrevoli"),
                       // TRANSLATORS: the About box; %1 is the version number.
                       uiText("Ambrevoli\nVersion %1")
                           .arg(QString::fromUtf8(version.data(), qsizetype(version.size()))));
}

// Closing rather than hiding: a closed window is kept all the same, and the application turns
// into an accessory one once none is left on screen.
void hideWindows()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        const Qt::WindowType type = window->windowType();
        if (window->isVisible() && (type == Qt::Window || type == Qt::Dialog))
            window->close();
    }
}

// The copies under way finish after the event loop has ended (see main()).
void quit()
{
    logger("requests").log(LogLevel::standard, "Quitting on Quit Ambrevoli");
    QCoreApplication::quit();
}

void minimizeActiveWindow()
{
    if (QWidget* window = QApplication::activeWindow())
        window->showMinimized();
}

void closeActiveWindow()
{
    if (QWidget* window = QApplication::activeWindow())
        window->close();
}

} // namespace

MainMenu::MainMenu(Actions actions, QObject* parent) : QObject(parent)
{
    QAction* checkForUpdates = actions.checkForUpdates;
    if (!checkForUpdates) {
        checkForUpdates = action(N_("Check for Updates\u2026"), {});
        checkForUpdates->setEnabled(false);
        checkForUpdates->setToolTip(uiText(noUpdaterTip));
    }
    m_menus = {
        {QStringLiteral("Ambrevoli"),
         {action(N_("About Ambrevoli"), showAbout), checkForUpdates, nullptr,
          action(N_("Settings\u2026"), std::move(actions.showSettings),
                 QKeySequence(Qt::CTRL | Qt::Key_Comma)),
          nullptr, action(N_("Hide Ambrevoli"), hideWindows, QKeySequence(Qt::CTRL | Qt::Key_H)),
          action(N_("Quit Ambrevoli"), quit, QKeySequence(Qt::CTRL | Qt::Key_Q))}},
        // TRANSLATORS: the menu bar's menus and their items, as every application names them.
        {uiText("Edit"),
         {action(N_("Undo"), sendToResponder("undo"), QKeySequence(Qt::CTRL | Qt::Key_Z)),
          action(N_("Redo"), sendToResponder("redo"),
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)),
          nullptr, action(N_("Cut"), sendToResponder("cut"), QKeySequence(Qt::CTRL | Qt::Key_X)),
          action(N_("Copy"), sendToResponder("copy"), QKeySequence(Qt::CTRL | Qt::Key_C)),
          action(N_("Paste"), sendToResponder("paste"), QKeySequence(Qt::CTRL | Qt::Key_V)),
          action(N_("Delete"), deleteSelection),
          action(N_("Select All"), sendToResponder("selectAll"),
                 QKeySequence(Qt::CTRL | Qt::Key_A))}},
        {uiText("Window"),
         {action(N_("Minimize"), minimizeActiveWindow, QKeySequence(Qt::CTRL | Qt::Key_M)),
          action(N_("Close"), closeActiveWindow, QKeySequence(Qt::CTRL | Qt::Key_W))}},
    };
}

MainMenu::~MainMenu() = default;

QAction* MainMenu::action(const char* title, std::function<void()> trigger, QKeySequence shortcut)
{
    auto* made = new QAction(uiText(title), this);
    made->setShortcut(shortcut);
    if (trigger)
        connect(made, &QAction::triggered, this, [trigger = std::move(trigger)] { trigger(); });
    return made;
}

QMenuBar* MainMenu::makeMenuBar(QWidget* parent) const
{
    auto* bar = new QMenuBar(parent);
    for (const Menu& menu : m_menus) {
        QMenu* shown = bar->addMenu(menu.title);
        shown->setToolTipsVisible(true);
        for (QAction* item : menu.items) {
            if (item)
                shown->addAction(item);
            else
                shown->addSeparator();
        }
    }
    return bar;
}

} // namespace ambrevoli

#include "main_menu.h"

#include "accessible_actions.h"
#include "app_delegate.h"
#include "bundle_info.h"
#include "destination_list.h"
#include "destination_row.h"
#include "destinations_model.h"
#include "host_settings.h"
#include "host_windows.h"
#include "in_memory_notification_service.h"
#include "private_host_settings.h"
#include "window_coordinator.h"
#include "files_with_its_menu.h"

#include <QAction>
#include <QClipboard>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QtTest>

#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace ambrevoli;
namespace fs = std::filesystem;

namespace {

// Counts what the application core asks of the windows.
struct CountingWindows : HostWindows {
    void showSettings() override { ++settings; }
    void showGuide() override { ++guides; }
    bool hasVisibleWindows() const override { return false; }
    void setActivationToken(QString) override {}
    void dropActivationToken() override {}
    void chooseFolder(const QString&, std::function<void(std::optional<QString>)>) override {}
    int settings = 0;
    int guides = 0;
};

// The item of `bar` titled `title` in the menu titled `menu`; null when there is none.
QAction* item(QMenuBar* bar, const QString& menu, const QString& title)
{
    for (QAction* top : bar->actions())
        if (top->text() == menu && top->menu())
            for (QAction* action : top->menu()->actions())
                if (action->text() == title)
                    return action;
    return nullptr;
}

} // namespace

class MainMenuTest : public QObject {
    Q_OBJECT

    PrivateHostSettings m_hostSettings;

    std::unique_ptr<QTemporaryDir> m_temp;

    std::string folder(const char* name) const
    {
        const std::string path = m_temp->filePath(name).toStdString();
        fs::create_directories(path);
        return path;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temp->isValid());
        hostSettings().clear();
    }

    void cleanup() { m_temp.reset(); }

    // Every menu and item, in order, with its shortcut and whether it is enabled; a separator
    // is "-".
    void theMenusHoldEveryItem()
    {
        MainMenu menu({});
        QMainWindow window;
        QMenuBar* bar = menu.makeMenuBar(&window);
        QStringList shown;
        for (QAction* top : bar->actions()) {
            QVERIFY(top->menu());
            QVERIFY(top->shortcut().isEmpty());
            shown << "[" + top->text() + "]";
            for (QAction* action : top->menu()->actions())
                shown << (action->isSeparator()
                              ? QStringLiteral("-")
                              : action->text() + " | " +
                                    action->shortcut().toString(QKeySequence::PortableText) +
                                    (action->isEnabled() ? "" : " | disabled"));
        }
        const QStringList expected{
            "[Ambrevoli]",
            "About Ambrevoli | ",
            "Check for Updates\u2026 |  | disabled",
            "-",
            "Settings\u2026 | Ctrl+,",
            "-",
            "Hide Ambrevoli | Ctrl+H",
            "Quit Ambrevoli | Ctrl+Q",
            "[Edit]",
            "Undo | Ctrl+Z",
            "Redo | Ctrl+Shift+Z",
            "-",
            "Cut | Ctrl+X",
            "Copy | Ctrl+C",
            "Paste | Ctrl+V",
            "Delete | ",
            "Select All | Ctrl+A",
            "[Window]",
            "Minimize | Ctrl+M",
            "Close | Ctrl+W",
        };
        QCOMPARE(shown, expected);
        QCOMPARE(item(bar, "Ambrevoli", "Check for Updates\u2026")->toolTip(),
                 "This build of Ambrevoli can't check for updates.");
    }

    // An updater's action takes the item's place, enabled exactly while the updater can check,
    // in every window's menu bar.
    void anUpdaterDrivesCheckForUpdates()
    {
        QAction check(QStringLiteral("Check for Updates\u2026"));
        int checks = 0;
        connect(&check, &QAction::triggered, this, [&checks] { ++checks; });
        MainMenu menu({.checkForUpdates = &check});
        QMainWindow first, second;
        QMenuBar* bars[] = {menu.makeMenuBar(&first), menu.makeMenuBar(&second)};
        for (QMenuBar* bar : bars)
            QCOMPARE(item(bar, "Ambrevoli", "Check for Updates\u2026"), &check);
        check.setEnabled(false);
        QVERIFY(!item(bars[1], "Ambrevoli", "Check for Updates\u2026")->isEnabled());
        check.setEnabled(true);
        item(bars[1], "Ambrevoli", "Check for Updates\u2026")->trigger();
        QCOMPARE(checks, 1);
    }

    // "Settings…" is always enabled; it opens the settings window only when the container
    // could be reached.
    void settingsOpensOnlyWithServices_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::newRow("container reached") << true;
        QTest::newRow("no container") << false;
    }

    void settingsOpensOnlyWithServices()
    {
        QFETCH(bool, reachable);
        const QByteArray dataHome =
            reachable ? QFile::encodeName(m_temp->filePath("data")) : "relative/data";
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dataHome);
        InMemoryNotificationService notifications;
        QThreadPool copies;
        AppDelegate delegate(notifications, copies);
        qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(delegate.hasServices(), reachable);
        CountingWindows windows;
        delegate.setWindows(&windows);

        MainMenu menu({.showSettings = [&delegate] { delegate.showSettings(); }});
        QMainWindow window;
        QAction* settings = item(menu.makeMenuBar(&window), "Ambrevoli", "Settings\u2026");
        QVERIFY(settings->isEnabled());
        settings->trigger();
        QCOMPARE(windows.settings, reachable ? 1 : 0);
        // A reopen without services opens nothing either.
        delegate.reopen();
        QCOMPARE(windows.settings + windows.guides, reachable ? 2 : 0);
        delegate.setWindows(nullptr);
    }

    // The Edit items work on the field with the focus, as its own shortcuts would.
    void editItemsActOnTheFocusedField()
    {
        MainMenu menu({});
        QMainWindow window;
        QMenuBar* bar = menu.makeMenuBar(&window);
        window.setMenuBar(bar);
        auto* content = new QWidget;
        auto* layout = new QVBoxLayout(content);
        auto* field = new QLineEdit(QStringLiteral("Holiday"));
        auto* other = new QLineEdit(QStringLiteral("untouched"));
        layout->addWidget(field);
        layout->addWidget(other);
        window.setCentralWidget(content);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        field->setFocus();
        QTRY_VERIFY(field->hasFocus());
        const auto edit = [&](const char* title) {
            QAction* action = item(bar, "Edit", title);
            QVERIFY2(action, title);
            action->trigger();
        };

        edit("Select All");
        QCOMPARE(field->selectedText(), "Holiday");
        edit("Cut");
        QCOMPARE(field->text(), "");
        QCOMPARE(QGuiApplication::clipboard()->text(), "Holiday");
        edit("Undo");
        QCOMPARE(field->text(), "Holiday");
        edit("Redo");
        QCOMPARE(field->text(), "");
        edit("Paste");
        edit("Paste");
        QCOMPARE(field->text(), "HolidayHoliday");
        field->setSelection(0, 7);
        edit("Copy");
        edit("Delete");
        QCOMPARE(field->text(), "Holiday");
        QCOMPARE(QGuiApplication::clipboard()->text(), "Holiday");
        QCOMPARE(other->text(), "untouched");
    }

    // With the destination list focused, Select All and Delete act on its rows, from the menu
    // (by mouse, by shortcut, or pressed by a screen reader) as by the list's own keys. In a
    // row's name field, Delete stays with the text.
    void editItemsReachTheDestinationList()
    {
        DestinationsModel model(m_temp->filePath("destinations.json").toStdString());
        model.addFolders({folder("Photos"), folder("Music"), folder("Films"), folder("Books")});
        InMemoryNotificationService notifications;
        MainMenu menu({});
        WindowCoordinator windows(
            model, notifications, filesWithItsMenu, &menu);
        windows.showSettings();
        QMainWindow* window = windows.settingsWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QMenuBar* bar = window->menuBar();
        auto* list = window->findChild<DestinationList*>();
        QVERIFY(list);
        list->setFocus();
        QTRY_VERIFY(list->hasFocus());
        const auto labels = [&model] {
            QStringList shown;
            for (const Destination& destination : model.library().store().destinations())
                shown << QString::fromStdString(model.label(destination.id()));
            return shown;
        };
        const auto idOf = [&model](std::size_t index) {
            return model.library().store().destinations().at(index).id();
        };

        item(bar, "Edit", "Select All")->trigger();
        QCOMPARE(list->selection().size(), 4u);
        list->setSelection({});
        QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(list->selection().size(), 4u);

        list->setSelection({idOf(1)});
        item(bar, "Edit", "Delete")->trigger();
        QCOMPARE(labels(), (QStringList{"Photos", "Films", "Books"}));
        QVERIFY(list->selection().empty());
        // Nothing selected: Delete changes nothing.
        item(bar, "Edit", "Delete")->trigger();
        QCOMPARE(labels(), (QStringList{"Photos", "Films", "Books"}));

        list->setSelection({idOf(2)});
        QMenu* edit = nullptr;
        for (QAction* top : bar->actions())
            if (top->text() == "Edit")
                edit = top->menu();
        QVERIFY(edit);
        QVERIFY(testing::chooseAccessibly(*edit, *item(bar, "Edit", "Delete")));
        QCOMPARE(labels(), (QStringList{"Photos", "Films"}));

        // The row's name field has the focus, so the text is what Delete works on.
        QLineEdit* field = list->rows().front()->nameField();
        field->setFocus();
        QTRY_VERIFY(field->hasFocus());
        QCOMPARE(list->selection(), std::vector<Uuid>{idOf(0)});
        field->setSelection(0, 2);
        item(bar, "Edit", "Delete")->trigger();
        QCOMPARE(field->text(), "otos");
        QCOMPARE(labels(), (QStringList{"otos", "Films"}));
    }

    // Minimize and Close act on the active window; Hide closes every window of the host, so
    // the application turns accessory, and the windows are kept.
    void windowItemsAndHide()
    {
        DestinationsModel model(m_temp->filePath("destinations.json").toStdString());
        InMemoryNotificationService notifications;
        MainMenu menu({});
        WindowCoordinator windows(
            model, notifications, filesWithItsMenu, &menu);
        windows.showGuide();
        windows.showSettings();
        QMainWindow* settings = windows.settingsWindow();
        QMainWindow* guide = windows.guideWindow();
        QVERIFY(settings->menuBar());
        QVERIFY(guide->menuBar());
        settings->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(settings));

        item(guide->menuBar(), "Window", "Minimize")->trigger();
        QTRY_VERIFY(settings->isMinimized());
        QVERIFY(!guide->isMinimized());
        settings->showNormal();
        settings->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(settings));
        item(guide->menuBar(), "Window", "Close")->trigger();
        QVERIFY(!settings->isVisible());
        QVERIFY(guide->isVisible());
        QCOMPARE(windows.activationPolicy(), WindowCoordinator::ActivationPolicy::regular);

        windows.showSettings();
        QVERIFY(QTest::qWaitForWindowActive(settings));
        QTest::keyClick(settings, Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!settings->isVisible());
        QVERIFY(!guide->isVisible());
        QCOMPARE(windows.activationPolicy(), WindowCoordinator::ActivationPolicy::accessory);
        QCOMPARE(windows.settingsWindow(), settings);
        QCOMPARE(windows.guideWindow(), guide);
    }

    // About shows the version this build carries.
    void aboutShowsTheVersion()
    {
        MainMenu menu({});
        QMainWindow window;
        QMenuBar* bar = menu.makeMenuBar(&window);
        window.show();
        QString shown;
        QTimer::singleShot(0, this, [&shown] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->windowTitle() + "\n" + box->text();
                box->accept();
            }
        });
        item(bar, "Ambrevoli", "About Ambrevoli")->trigger();
        QCOMPARE(shown, "About Ambrevoli\nAmbrevoli\nVersion " +
                            QString::fromUtf8(mainBundle().version.data(),
                                              qsizetype(mainBundle().version.size())));
        QVERIFY(!mainBundle().version.empty());
    }

    // Quit ends the event loop; what is under way finishes after it (see main()).
    void quitEndsTheEventLoop()
    {
        MainMenu menu({});
        QMainWindow window;
        QMenuBar* bar = menu.makeMenuBar(&window);
        QTimer::singleShot(0, this, [bar] { item(bar, "Ambrevoli", "Quit Ambrevoli")->trigger(); });
        // A watchdog, so that a Quit that does nothing fails rather than hangs.
        bool timedOut = false;
        QTimer::singleShot(10000, this, [&timedOut] {
            timedOut = true;
            QCoreApplication::exit(1);
        });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!timedOut);
    }

    // Each menu as it opens on the settings window, for a person to look at.
    void screenshots()
    {
        DestinationsModel model(m_temp->filePath("destinations.json").toStdString());
        model.addFolders({folder("Photos")});
        InMemoryNotificationService notifications;
        MainMenu menu({});
        WindowCoordinator windows(
            model, notifications, filesWithItsMenu, &menu);
        windows.showSettings();
        QMainWindow* window = windows.settingsWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QMenuBar* bar = window->menuBar();
        QDir().mkpath(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR));
        for (QAction* top : bar->actions()) {
            QMenu* opened = top->menu();
            bar->setActiveAction(top);
            QVERIFY(QTest::qWaitForWindowExposed(opened));
            // Offscreen, a popup is a window of its own: it is painted onto the window's picture
            // where it opened.
            QImage picture = window->grab().toImage();
            const QPoint at = opened->mapToGlobal(QPoint()) - window->mapToGlobal(QPoint());
            QPainter(&picture).drawPixmap(at, opened->grab());
            QVERIFY(picture.save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/menu-%1.png")
                                     .arg(top->text().toLower())));
            opened->close();
        }
    }
};

QTEST_MAIN(MainMenuTest)
#include "main_menu_test.moc"

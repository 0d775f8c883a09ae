#include "first_launch_guide.h"

#include "accessible_actions.h"
#include "clipped_texts.h"
#include "destination_store.h"
#include "destinations_model.h"
#include "extension_management.h"
#include "in_memory_notification_service.h"
#include "scoped_language.h"
#include "setup_status.h"
#include "wording.h"

#include <QAccessible>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

using namespace ambrevoli;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(ambrevoli::ExtensionState)
Q_DECLARE_METATYPE(ambrevoli::AuthorizationStatus)
Q_DECLARE_METATYPE(ambrevoli::FileManager)

namespace {

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(widget);
    return interface ? interface->text(QAccessible::Name) : QString();
}

QString text(Phrase phrase) { return QString::fromUtf8(wording(phrase)); }

// The guide over a real model and a setup status whose readings the test sets.
struct Guide {
    explicit Guide(const std::string& file) : model(file) {}

    // Reads the extension state and the permission as the coordinator would, and waits until
    // the permission has arrived.
    void refresh()
    {
        status.refresh();
        QTRY_COMPARE(status.notifications(), service.authorizationStatus());
    }

    DestinationsModel model;
    InMemoryNotificationService service;
    FileManager fileManager = FileManager::files;
    ExtensionState extension = ExtensionState::notInstalled;
    std::function<ExtensionState()> readExtension = [this] { return extension; };
    SetupStatus status{service, [this] { return ExtensionStatus{fileManager, readExtension()}; }};
    int finishes = 0;
    FirstLaunchGuide view{status, model, [this] { ++finishes; }};

    // The badge of step `number`, whose accessible name starts with "Step <number>".
    QLabel* badge(int number)
    {
        const QString name = QStringLiteral("Step %1").arg(number);
        for (QLabel* label : view.findChildren<QLabel*>())
            if (accessibleName(label) == name || accessibleName(label) == name + ", done")
                return label;
        return nullptr;
    }
    QStringList badges()
    {
        QStringList names;
        for (int number = 1; number <= 3; ++number)
            names << (badge(number) ? accessibleName(badge(number)) : QString());
        return names;
    }
    // The shown buttons, in the order of the steps; Done last.
    QStringList buttons()
    {
        QStringList titles;
        for (QPushButton* button : view.findChildren<QPushButton*>())
            if (button->isVisibleTo(&view))
                titles << accessibleName(button);
        return titles;
    }
    QPushButton* button(const QString& name)
    {
        for (QPushButton* button : view.findChildren<QPushButton*>())
            if (button->isVisibleTo(&view) && accessibleName(button) == name)
                return button;
        return nullptr;
    }
    // The question asked before the file manager is restarted, while it is shown.
    QMessageBox* restartQuestion()
    {
        for (QMessageBox* question : view.findChildren<QMessageBox*>())
            if (question->isVisible())
                return question;
        return nullptr;
    }
    bool reads(const QString& text)
    {
        for (QLabel* label : view.findChildren<QLabel*>())
            if (label->isVisibleTo(&view) && label->text() == text)
                return true;
        return false;
    }
};

// Whether most of what the badge draws is green.
bool isGreen(const QLabel& badge)
{
    const QImage image = badge.pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    int drawn = 0, green = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() < 128)
                continue;
            ++drawn;
            if (pixel.green() > pixel.red() + 50 && pixel.green() > pixel.blue() + 30)
                ++green;
        }
    return drawn > 0 && green * 2 > drawn;
}

QStringList linesOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Stand-ins for the desktop's programs, first on the PATH while this lives: each appends its
// name and arguments to one record.
class FakePrograms {
public:
    FakePrograms(const QTemporaryDir& temp, std::initializer_list<const char*> names)
        : m_record(temp.filePath("started")), m_path(qgetenv("PATH"))
    {
        const QString bin = temp.filePath("bin");
        QDir().mkpath(bin);
        for (const char* name : names) {
            QFile script(bin + "/" + name);
            if (script.open(QIODevice::WriteOnly))
                script.write(QStringLiteral("#!/bin/sh\necho \"%1 $*\" >>'%2'\n")
                                 .arg(QString::fromUtf8(name), m_record)
                                 .toUtf8());
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(bin) + ":" + m_path);
    }
    ~FakePrograms() { qputenv("PATH", m_path); }

    // What was started, in order: "nautilus -q", ….
    QStringList started() const { return linesOf(m_record); }

private:
    QString m_record;
    QByteArray m_path;
};

QAbstractButton* findButton(QMessageBox& question, const QString& name)
{
    for (QAbstractButton* button : question.buttons())
        if (button->accessibleName() == name)
            return button;
    return nullptr;
}

} // namespace

class FirstLaunchGuideTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    std::string root() const { return m_temp.path().toStdString(); }
    std::string file() const { return root() + "/container/destinations.json"; }
    std::string folder(std::string_view name) const
    {
        const std::string path = root() + "/places/" + std::string(name);
        fs::create_directories(path);
        return path;
    }
    void writeDestinations(int count) const
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i)
            paths.push_back(folder("Folder " + std::to_string(i + 1)));
        DestinationsModel(file()).addFolders(paths);
    }

    static void screenshot(QWidget& widget, const QString& name)
    {
        QDir().mkpath(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR));
        QVERIFY(
            widget.grab().save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/guide-%1.png").arg(name)));
    }

    // Nothing is cut off: the guide is as tall as its content needs at its width, and every
    // wrapped sentence gets the lines it needs.
    static void verifyNothingClipped(FirstLaunchGuide& view)
    {
        QCOMPARE(view.width(), FirstLaunchGuide::contentWidth);
        QCOMPARE(view.height(), view.heightForWidth(FirstLaunchGuide::contentWidth));
        for (QLabel* label : view.findChildren<QLabel*>()) {
            if (!label->isVisibleTo(&view) || !label->wordWrap())
                continue;
            QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                     qPrintable(label->text()));
            QVERIFY2(label->geometry().right() < label->parentWidget()->width(),
                     qPrintable(label->text()));
        }
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() { QVERIFY(m_temp.isValid()); }

    void cleanup()
    {
        fs::remove_all(root());
        fs::create_directories(root());
    }

    // What each step shows for each state it can be in.
    void stepsShowTheirState_data()
    {
        QTest::addColumn<FileManager>("fileManager");
        QTest::addColumn<ExtensionState>("extension");
        QTest::addColumn<AuthorizationStatus>("permission");
        QTest::addColumn<int>("destinations");
        QTest::addColumn<QStringList>("badges");
        QTest::addColumn<QStringList>("details");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("shot");

        const QString notYet = "Ambrevoli tells you when a copy finishes or fails.";
        const QString allowed = "Ambrevoli can tell you when a copy finishes or fails.";
        const QString pick =
            "Pick a folder for the Send To menu. You can add more in Ambrevoli's settings.";
        const QString done = "Done";
        QTest::newRow("nothing done")
            << FileManager::files << ExtensionState::notInstalled
            << AuthorizationStatus::notDetermined << 0 << QStringList{"Step 1", "Step 2", "Step 3"}
            << QStringList{text(Phrase::extensionNotInstalledDetail), notYet, pick}
            << QStringList{"Show Install Instructions", "Allow Notifications", "Add Folder…", done}
            << "nothing-done";
        QTest::newRow("all done")
            << FileManager::files << ExtensionState::enabled << AuthorizationStatus::authorized << 2
            << QStringList{"Step 1, done", "Step 2, done", "Step 3, done"}
            << QStringList{"Ambrevoli is on, so Send To appears when you right-click in Files.",
                           allowed, "Send To lists 2 folders. You can add more in settings."}
            << QStringList{done} << "all-done";
        QTest::newRow("provisional, one destination")
            << FileManager::files << ExtensionState::enabled << AuthorizationStatus::provisional
            << 1 << QStringList{"Step 1, done", "Step 2, done", "Step 3, done"}
            << QStringList{text(Phrase::extensionOnDetail), allowed,
                           "Send To lists 1 folder. You can add more in settings."}
            << QStringList{done} << "";
        QTest::newRow("ephemeral")
            << FileManager::files << ExtensionState::enabled << AuthorizationStatus::ephemeral << 1
            << QStringList{"Step 1, done", "Step 2", "Step 3, done"}
            << QStringList{text(Phrase::extensionOnDetail), notYet,
                           "Send To lists 1 folder. You can add more in settings."}
            << QStringList{done} << "";
        QTest::newRow("denied")
            << FileManager::files << ExtensionState::enabled << AuthorizationStatus::denied << 0
            << QStringList{"Step 1, done", "Step 2", "Step 3"}
            << QStringList{text(Phrase::extensionOnDetail),
                           "Notifications are off. You can turn them on in Settings › "
                           "Notifications.",
                           pick}
            << QStringList{"Add Folder…", done} << "denied";
        QTest::newRow("installed, not loaded")
            << FileManager::files << ExtensionState::notLoaded << AuthorizationStatus::authorized
            << 1 << QStringList{"Step 1", "Step 2, done", "Step 3, done"}
            << QStringList{"Files loads the extension when it starts. Restart Files to switch it "
                           "on.",
                           allowed, "Send To lists 1 folder. You can add more in settings."}
            << QStringList{"Restart Files", done} << "installed-not-loaded";
        QTest::newRow("Nemo, installed, not loaded")
            << FileManager::nemo << ExtensionState::notLoaded << AuthorizationStatus::authorized
            << 1 << QStringList{"Step 1", "Step 2, done", "Step 3, done"}
            << QStringList{"Nemo loads the extension when it starts. Restart Nemo to switch it on.",
                           allowed, "Send To lists 1 folder. You can add more in settings."}
            << QStringList{"Restart Nemo", done} << "nemo-not-loaded";
    }
    void stepsShowTheirState()
    {
        QFETCH(FileManager, fileManager);
        QFETCH(ExtensionState, extension);
        QFETCH(AuthorizationStatus, permission);
        QFETCH(int, destinations);
        QFETCH(QStringList, badges);
        QFETCH(QStringList, details);
        QFETCH(QStringList, buttons);
        QFETCH(QString, shot);

        writeDestinations(destinations);
        Guide guide(file());
        guide.fileManager = fileManager;
        guide.extension = extension;
        guide.service.setAuthorizationStatus(permission);
        guide.refresh();
        guide.view.show();

        QCOMPARE(guide.badges(), badges);
        for (int number = 1; number <= 3; ++number) {
            QLabel* badge = guide.badge(number);
            QCOMPARE(isGreen(*badge), badges[number - 1].endsWith(", done"));
            QVERIFY2(guide.reads(details[number - 1]), qPrintable(details[number - 1]));
        }
        QCOMPARE(guide.buttons(), buttons);
        QVERIFY(guide.reads("Set Up Ambrevoli"));
        const QString name = QString::fromUtf8(fileManagerName(fileManager));
        QVERIFY(guide.reads("Ambrevoli adds Send To to the right-click menu of " + name +
                            ". Three steps get it ready."));
        QVERIFY(guide.reads("Turn on the " + name + " extension"));
        QVERIFY(guide.reads("Allow notifications"));
        QVERIFY(guide.reads("Add a destination"));
        // Nothing asks for folder permission here, so there is no note about it.
        QVERIFY(!guide.reads(
            QString::fromUtf8(wording(Phrase::folderPermissionNote, Platform::macOS))));
        verifyNothingClipped(guide.view);
        if (!shot.isEmpty())
            screenshot(guide.view, shot);
    }

    // The guide holds its texts in full in German, Polish and the pseudo-locale, and names
    // GNOME Files as the desktop does in the language.
    void textsFitInEveryLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("stepTitle");
        QTest::newRow("de") << "de"
                            << "Die Erweiterung f\u00FCr Dateien einschalten";
        QTest::newRow("pl") << "pl"
                            << "W\u0142\u0105cz rozszerzenie programu Pliki";
        QTest::newRow("pseudo") << "pseudo"
                                << "[Turn on the [Files ~~] extension ~~~~~~~~~~~~]";
    }
    void textsFitInEveryLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, stepTitle);
        ambrevoli::testing::ScopedLanguage chosen(language.toStdString());

        for (const char* state : {"nothing-done", "not-loaded"}) {
            const bool loaded = std::string_view(state) == "not-loaded";
            writeDestinations(loaded ? 1 : 0);
            Guide guide(file());
            guide.extension = loaded ? ExtensionState::notLoaded : ExtensionState::notInstalled;
            guide.service.setAuthorizationStatus(loaded ? AuthorizationStatus::denied
                                                        : AuthorizationStatus::notDetermined);
            guide.refresh();
            guide.view.show();
            QVERIFY2(guide.reads(stepTitle), qPrintable(stepTitle));
            verifyNothingClipped(guide.view);
            QCOMPARE(ambrevoli::testing::clippedTexts(guide.view), QStringList());
            screenshot(guide.view, QStringLiteral("%1-%2").arg(state, language));
        }
    }

    // The guide works the steps out again whenever the status or the list changes, whoever
    // changed them.
    // The window around the guide follows its size too.
    void stepsFollowChangesMadeElsewhere()
    {
        Guide guide(file());
        guide.refresh();
        QMainWindow window;
        window.setCentralWidget(&guide.view);
        const auto giveBack = qScopeGuard([&] { window.takeCentralWidget(); });
        window.adjustSize();
        window.show();
        QCOMPARE(guide.badges(), (QStringList{"Step 1", "Step 2", "Step 3"}));
        const int tallest = window.height();
        QCOMPARE(tallest, guide.view.height());

        guide.model.addFolders({folder("Photos")});
        QCOMPARE(guide.badge(3)->accessibleName(), QString("Step 3, done"));
        QVERIFY(guide.reads("Send To lists 1 folder. You can add more in settings."));
        QVERIFY(!guide.button("Add Folder…"));
        QCOMPARE(window.height(), guide.view.height());
        QVERIFY(window.height() < tallest);

        // Files restarted with the module, and the user came back to the window.
        guide.extension = ExtensionState::notLoaded;
        guide.refresh();
        QVERIFY(guide.button("Restart Files"));
        guide.extension = ExtensionState::enabled;
        guide.refresh();
        QCOMPARE(guide.badge(1)->accessibleName(), QString("Step 1, done"));
        QVERIFY(!guide.button("Restart Files"));
        verifyNothingClipped(guide.view);
        QCOMPARE(window.height(), guide.view.height());
    }

    void allowNotificationsAsksAndShowsTheAnswer_data()
    {
        QTest::addColumn<bool>("grants");
        QTest::addColumn<QString>("badge");
        QTest::addColumn<QString>("detail");
        QTest::newRow("allowed") << true << "Step 2, done"
                                 << "Ambrevoli can tell you when a copy finishes or fails.";
        QTest::newRow("refused") << false << "Step 2" << text(Phrase::notificationsDeniedDetail);
    }
    void allowNotificationsAsksAndShowsTheAnswer()
    {
        QFETCH(bool, grants);
        QFETCH(QString, badge);
        QFETCH(QString, detail);
        Guide guide(file());
        guide.service.setUserGrantsAuthorization(grants);
        guide.refresh();
        guide.view.show();

        QTest::mouseClick(guide.button("Allow Notifications"), Qt::LeftButton);
        QVERIFY(guide.service.calls().contains("requestAuthorization"));
        QTRY_VERIFY(guide.reads(detail));
        QCOMPARE(guide.badge(2)->accessibleName(), badge);
        QVERIFY(!guide.button("Allow Notifications"));
    }

    // The chooser opens for one folder, and what is chosen goes into the list.
    void addFolderAddsTheChosenFolder()
    {
        const std::string photos = folder("Photos");
        Guide guide(file());
        guide.refresh();
        guide.view.show();

        QTest::mouseClick(guide.button("Add Folder…"), Qt::LeftButton);
        QVERIFY(guide.view.isChoosingFolder());
        auto* chooser = guide.view.findChild<QFileDialog*>();
        QVERIFY(chooser && chooser->isVisible());
        QCOMPARE(chooser->fileMode(), QFileDialog::Directory);
        chooser->setDirectory(QString::fromStdString(root() + "/places"));
        chooser->selectFile(QString::fromStdString(photos));
        chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();

        QVERIFY(!guide.view.isChoosingFolder());
        auto store = DestinationStore::load(file());
        QVERIFY(store);
        QCOMPARE(store->destinations().size(), 1u);
        QCOMPARE(store->destinations()[0].path(), photos);
        QCOMPARE(guide.badge(3)->accessibleName(), QString("Step 3, done"));
        QVERIFY(guide.reads("Send To lists 1 folder. You can add more in settings."));
    }

    // Step 1's button starts the desktop's programs (stand-ins here), and after a restart of
    // the file manager the step turns done by itself once the new one has the module.
    void extensionButtonStartsTheDesktopsPrograms_data()
    {
        QTest::addColumn<FileManager>("fileManager");
        QTest::addColumn<ExtensionState>("extension");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("started");
        QTest::addColumn<QString>("badge");
        QTest::addColumn<int>("clicks");
        QTest::newRow("not installed: the install instructions")
            << FileManager::files << ExtensionState::notInstalled << "Show Install Instructions"
            << QStringList{"xdg-open " + ExtensionManagement::installInstructions()} << "Step 1"
            << 1;
        // The second click comes while the first restart is under way.
        QTest::newRow("installed, not loaded: Files quits and starts again, once")
            << FileManager::files << ExtensionState::notLoaded << "Restart Files"
            << QStringList{"nautilus -q", "nautilus --gapplication-service"} << "Step 1, done" << 2;
        QTest::newRow("Nemo not loaded: Nemo quits and starts again without a window")
            << FileManager::nemo << ExtensionState::notLoaded << "Restart Nemo"
            << QStringList{"nemo -q", "nemo --no-default-window"} << "Step 1, done" << 1;
        QTest::newRow("Caja not loaded: Caja quits and starts again without a window")
            << FileManager::caja << ExtensionState::notLoaded << "Restart Caja"
            << QStringList{"caja -q", "caja --no-default-window"} << "Step 1, done" << 1;
        QTest::newRow("Thunar not loaded: Thunar quits and starts again as a daemon")
            << FileManager::thunar << ExtensionState::notLoaded << "Restart Thunar"
            << QStringList{"thunar -q", "thunar --daemon"} << "Step 1, done" << 1;
        QTest::newRow("Thunar not installed: the install instructions")
            << FileManager::thunar << ExtensionState::notInstalled << "Show Install Instructions"
            << QStringList{"xdg-open " + ExtensionManagement::installInstructions()} << "Step 1"
            << 1;
    }
    void extensionButtonStartsTheDesktopsPrograms()
    {
        QFETCH(FileManager, fileManager);
        QFETCH(ExtensionState, extension);
        QFETCH(QString, button);
        QFETCH(QStringList, started);
        QFETCH(QString, badge);
        QFETCH(int, clicks);
        const FakePrograms programs(m_temp, {"nautilus", "nemo", "caja", "thunar", "xdg-open"});

        Guide guide(file());
        guide.fileManager = fileManager;
        guide.extension = extension;
        // A file manager started now loads the module.
        guide.readExtension = [&] {
            return extension == ExtensionState::notLoaded &&
                           programs.started().contains(started.last())
                       ? ExtensionState::enabled
                       : extension;
        };
        guide.refresh();
        guide.view.show();
        for (int click = 0; click < clicks; ++click) {
            QTest::mouseClick(guide.button(button), Qt::LeftButton);
            if (extension != ExtensionState::notLoaded)
                continue;
            QMessageBox* question = guide.restartQuestion();
            QVERIFY(question);
            QTest::mouseClick(findButton(*question, button), Qt::LeftButton);
        }
        QTRY_COMPARE(programs.started(), started);
        // Nobody refreshes here but the guide's status itself.
        QTRY_COMPARE_WITH_TIMEOUT(guide.badge(1)->accessibleName(), badge, 20000);
        QCOMPARE(!guide.button(button), badge.endsWith(", done"));
        QCOMPARE(programs.started(), started);
    }

    // A restart closes the user's windows of the file manager: the guide asks first, and only a
    // confirmation restarts it.
    void restartingTheFileManagerAsksFirst_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("confirmed") << "Restart Files" << true;
        QTest::newRow("confirmed by a screen reader") << "Press Restart Files" << true;
        QTest::newRow("cancelled") << "Cancel" << false;
        QTest::newRow("Escape") << "Escape" << false;
        // Return alone keeps the windows.
        QTest::newRow("Return") << "Return" << false;
    }
    void restartingTheFileManagerAsksFirst()
    {
        QFETCH(QString, answer);
        QFETCH(bool, restarts);
        const FakePrograms programs(m_temp, {"nautilus"});

        Guide guide(file());
        guide.extension = ExtensionState::notLoaded;
        guide.refresh();
        QMainWindow window;
        const auto giveBack = qScopeGuard([&] { window.takeCentralWidget(); });
        window.setCentralWidget(&guide.view);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        QTest::mouseClick(guide.button("Restart Files"), Qt::LeftButton);
        QMessageBox* question = guide.restartQuestion();
        QVERIFY(question);
        QCOMPARE(question->text(), "Restart Files?");
        QCOMPARE(question->informativeText(), "Files will close its windows and open again.");
        QStringList buttons;
        for (QAbstractButton* shown : question->buttons())
            buttons << shown->accessibleName();
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"Cancel", "Restart Files"}));
        QVERIFY(QTest::qWaitForWindowExposed(question));
        if (restarts && !answer.startsWith("Press"))
            screenshot(*question, "restart-question");

        if (answer == "Escape" || answer == "Return")
            QTest::keyClick(question, answer == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
        else if (answer.startsWith("Press "))
            QVERIFY(testing::operateAccessibly(*findButton(*question, answer.mid(6))));
        else
            QTest::mouseClick(findButton(*question, answer), Qt::LeftButton);
        QTRY_VERIFY(!guide.restartQuestion());

        if (restarts) {
            QTRY_COMPARE(programs.started(),
                         (QStringList{"nautilus -q", "nautilus --gapplication-service"}));
        } else {
            // The stand-in writes as soon as it is started; give it time to show it was not.
            QTest::qWait(500);
            QCOMPARE(programs.started(), QStringList());
            QVERIFY(guide.button("Restart Files"));
        }
    }

    void doneFinishesWithNothingDone_data()
    {
        QTest::addColumn<bool>("inMainWindow");
        QTest::addColumn<bool>("byReturn");
        QTest::addColumn<bool>("byScreenReader");
        QTest::newRow("clicked") << false << false << false;
        QTest::newRow("Return") << false << true << false;
        QTest::newRow("Return, in a main window") << true << true << false;
        QTest::newRow("pressed by a screen reader") << false << false << true;
    }
    void doneFinishesWithNothingDone()
    {
        QFETCH(bool, inMainWindow);
        QFETCH(bool, byReturn);
        QFETCH(bool, byScreenReader);
        Guide guide(file());
        guide.refresh();
        QMainWindow window;
        QWidget* shown = &guide.view;
        // The window must not delete the guide, which the test owns.
        const auto giveBack = qScopeGuard([&] { window.takeCentralWidget(); });
        if (inMainWindow) {
            window.setCentralWidget(&guide.view);
            shown = &window;
        }
        shown->show();
        shown->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(shown));

        if (byReturn)
            QTest::keyClick(shown, Qt::Key_Return);
        else if (byScreenReader)
            QVERIFY(testing::operateAccessibly(*guide.button("Done")));
        else
            QTest::mouseClick(guide.button("Done"), Qt::LeftButton);
        QTRY_COMPARE(guide.finishes, 1);
        QCOMPARE(guide.badges(), (QStringList{"Step 1", "Step 2", "Step 3"}));
        if (inMainWindow) {
            verifyNothingClipped(guide.view);
            screenshot(window, "in-a-window");
        }
    }
};

QTEST_MAIN(FirstLaunchGuideTest)
#include "first_launch_guide_test.moc"

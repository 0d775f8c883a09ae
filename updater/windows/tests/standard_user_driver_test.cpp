#include "standard_user_driver.h"
#include "update_window.h"

#include "accessible_actions.h"
#include "clipped_texts.h"
#include "scoped_language.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <optional>

using namespace ambrevoli;

namespace {

class RecordingDelegate : public StandardUserDriverDelegate {
public:
    bool showsScheduledUpdates = true;
    QStringList calls;

    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool standardUserDriverShouldHandleShowingScheduledUpdate(const AppcastItem& update,
                                                              bool immediateFocus) override
    {
        calls
            << QStringLiteral("shouldHandle %1 %2").arg(update.displayVersion).arg(immediateFocus);
        return showsScheduledUpdates;
    }
    void standardUserDriverWillHandleShowingUpdate(bool handle, const AppcastItem& update,
                                                   UserDriver::UpdateState) override
    {
        calls << QStringLiteral("willHandle %1 %2").arg(handle).arg(update.displayVersion);
    }
    void standardUserDriverDidReceiveUserAttentionForUpdate(const AppcastItem& update) override
    {
        calls << "attention " + update.displayVersion;
    }
    void standardUserDriverWillFinishUpdateSession() override { calls << "finish"; }
};

AppcastItem update()
{
    AppcastItem item;
    item.version = "1.2.0-1";
    item.displayVersion = "1.2";
    item.description = "<h3>What's new</h3><ul><li>Copies keep their tags.</li>"
                       "<li>Faster on network folders.</li></ul>";
    return item;
}

QPushButton* button(QWidget& window, const QString& name)
{
    for (QPushButton* candidate : window.findChildren<QPushButton*>())
        if (candidate->accessibleName() == name && candidate->isVisible())
            return candidate;
    return nullptr;
}

QStringList texts(QWidget& window)
{
    QStringList found;
    for (QLabel* label : window.findChildren<QLabel*>())
        if (!label->text().isEmpty())
            found << label->text();
    return found;
}

// Stands in for the browser: notes every address the desktop was asked to open.
class LinkRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

void screenshot(QWidget& window, const QString& name)
{
    QDir().mkpath(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR));
    QVERIFY(window.grab().save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/%1.png").arg(name)));
}

} // namespace

class StandardUserDriverTest : public QObject {
    Q_OBJECT
private slots:
    void aCheckTheUserAskedFor();
    void foundUpdateChoices_data();
    void foundUpdateChoices();
    void feedTextIsShownAsText();
    void closingTheWindowGivesTheQuietAnswer();
    void errorsInPlainWords();
    void scheduledUpdateShownAtOnceWhenTheDelegateLetsIt();
    void scheduledUpdateHandedToTheApplication();
    void aMinimizedWindowComesBack();
    void textsFitInEveryLanguage_data();
    void textsFitInEveryLanguage();
};

void StandardUserDriverTest::aCheckTheUserAskedFor()
{
    RecordingDelegate delegate;
    StandardUserDriver driver("1.1", &delegate);
    int cancelled = 0;
    driver.showUserInitiatedUpdateCheck([&] { ++cancelled; });
    UpdateWindow& window = *driver.window();
    QVERIFY(window.isVisible());
    QCOMPARE(window.windowTitle(), "Software Update");
    QVERIFY(texts(window).contains("Checking for updates…"));
    screenshot(window, "checking");
    QVERIFY(button(window, "Cancel"));
    QTest::mouseClick(button(window, "Cancel"), Qt::LeftButton);
    QCOMPARE(cancelled, 1);
    QVERIFY(!window.isVisible());

    int acknowledged = 0;
    driver.showUpdateNotFound("1.1", [&] { ++acknowledged; });
    QVERIFY(window.isVisible());
    QVERIFY(texts(window).contains("Ambrevoli is up to date"));
    QVERIFY(texts(window).contains("You have Ambrevoli 1.1, the newest version."));
    screenshot(window, "up-to-date");
    QTest::mouseClick(button(window, "OK"), Qt::LeftButton);
    QCOMPARE(acknowledged, 1);
    QCOMPARE(cancelled, 1);

    driver.showDownloadInitiated([&] { ++cancelled; });
    driver.showDownloadProgress(300, 1000);
    auto* bar = window.findChild<QProgressBar*>();
    QVERIFY(bar);
    QCOMPARE(bar->accessibleName(), "Download progress");
    QCOMPARE(bar->value() * 1.0 / bar->maximum(), 0.3);
    screenshot(window, "downloading");

    driver.showInstallingUpdate(-1);
    driver.showInstallingUpdate(40);
    bar = window.findChild<QProgressBar*>();
    QCOMPARE(bar->accessibleName(), "Installation progress");
    QCOMPARE(bar->value(), 40);
    QVERIFY(window.findChildren<QPushButton*>().isEmpty());
    screenshot(window, "installing");

    driver.showUpdateInstalled([&] { ++acknowledged; });
    QVERIFY(texts(window).contains("Ambrevoli was updated"));
    screenshot(window, "installed");
    QTest::mouseClick(button(window, "Restart Ambrevoli"), Qt::LeftButton);
    QCOMPARE(acknowledged, 2);
}

void StandardUserDriverTest::foundUpdateChoices_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<UserDriver::Choice>("choice");
    QTest::addColumn<bool>("byScreenReader");
    QTest::newRow("install") << "Install Update" << UserDriver::Choice::install << false;
    QTest::newRow("remind me later") << "Remind Me Later" << UserDriver::Choice::dismiss << false;
    QTest::newRow("skip") << "Skip This Version" << UserDriver::Choice::skip << false;
    QTest::newRow("install, pressed by a screen reader")
        << "Install Update" << UserDriver::Choice::install << true;
    QTest::newRow("skip, pressed by a screen reader")
        << "Skip This Version" << UserDriver::Choice::skip << true;
}

void StandardUserDriverTest::foundUpdateChoices()
{
    QFETCH(QString, buttonName);
    QFETCH(UserDriver::Choice, choice);
    QFETCH(bool, byScreenReader);
    RecordingDelegate delegate;
    StandardUserDriver driver("1.1", &delegate);
    std::optional<UserDriver::Choice> chosen;
    driver.showUpdateFound(update(), {true, false}, [&](UserDriver::Choice c) { chosen = c; });
    UpdateWindow& window = *driver.window();
    QVERIFY(window.isVisible());
    QVERIFY(texts(window).contains("Ambrevoli 1.2 is available"));
    QVERIFY(texts(window).contains("You have 1.1. Installing asks for your password."));
    auto* notes = window.findChild<QTextBrowser*>();
    QVERIFY(notes);
    QCOMPARE(notes->accessibleName(), "Release Notes");
    QVERIFY(notes->toPlainText().contains("Copies keep their tags."));
    QVERIFY(button(window, "Install Update")->isDefault());
    if (choice == UserDriver::Choice::install && !byScreenReader)
        screenshot(window, "found");
    QCOMPARE(delegate.calls, QStringList({"willHandle 1 1.2"}));

    if (byScreenReader)
        QVERIFY(testing::operateAccessibly(*button(window, buttonName)));
    else
        QTest::mouseClick(button(window, buttonName), Qt::LeftButton);
    QTRY_COMPARE(chosen, choice);
    QCOMPARE(window.isVisible(), false);
}

// Whoever is on the way to the update server writes the feed: nothing in it is markup that loads
// or opens anything of its own accord.
void StandardUserDriverTest::feedTextIsShownAsText()
{
    QTemporaryDir folder;
    QImage picture(32, 32, QImage::Format_RGB32);
    picture.fill(Qt::red);
    const QString local = folder.filePath("local.png");
    QVERIFY(picture.save(local));
    const QUrl localURL = QUrl::fromLocalFile(local);
    AppcastItem hostile = update();
    hostile.displayVersion = "<img src=\"file:///dev/zero\"><b>9</b>";
    hostile.description = "<h3>What's new</h3><p>Faster.<img src=\"file:///dev/zero\">"
                          "<img src=\"" +
                          localURL.toString() +
                          "\"> "
                          "<img src=\"https://tracker.example/pixel.png\"> "
                          "<img src=\"/dev/zero\"></p><p>"
                          "<a href=\"file:///etc/passwd\">a file</a> "
                          "<a href=\"http://plain.example/\">plain http</a> "
                          "<a href=\"https://ambrevoli.example/notes\">the notes</a></p>";
    StandardUserDriver driver("1.1", nullptr);
    driver.showUpdateFound(hostile, {true, false}, [](UserDriver::Choice) {});
    UpdateWindow& window = *driver.window();
    QVERIFY(
        texts(window).contains("Ambrevoli <img src=\"file:///dev/zero\"><b>9</b> is available"));
    for (QLabel* label : window.findChildren<QLabel*>())
        QVERIFY2(label->textFormat() == Qt::PlainText || !label->text().contains('<'),
                 qPrintable(label->text()));
    auto* notes = window.findChild<QTextBrowser*>();
    QVERIFY(notes);
    screenshot(window, "found-hostile-notes");
    QVERIFY(notes->toPlainText().contains("Faster."));
    const QImage shown =
        qvariant_cast<QImage>(notes->document()->resource(QTextDocument::ImageResource, localURL));
    QVERIFY2(shown.size() != picture.size(), "a local picture was loaded");

    LinkRecorder browser;
    for (const char* scheme : {"https", "http", "file"})
        QDesktopServices::setUrlHandler(scheme, &browser, "open");
    for (const char* link :
         {"file:///etc/passwd", "http://plain.example/", "https://ambrevoli.example/notes"})
        emit notes->anchorClicked(QUrl(link));
    for (const char* scheme : {"https", "http", "file"})
        QDesktopServices::unsetUrlHandler(scheme);
    QCOMPARE(browser.opened, QList<QUrl>{QUrl("https://ambrevoli.example/notes")});
    QVERIFY(window.isVisible());
}

void StandardUserDriverTest::closingTheWindowGivesTheQuietAnswer()
{
    StandardUserDriver driver("1.1", nullptr);
    std::optional<UserDriver::Choice> chosen;
    driver.showUpdateFound(update(), {true, false}, [&](UserDriver::Choice c) { chosen = c; });
    driver.window()->close();
    QCOMPARE(chosen, UserDriver::Choice::dismiss);

    int cancelled = 0;
    driver.showUserInitiatedUpdateCheck([&] { ++cancelled; });
    driver.window()->close();
    driver.window()->show();
    driver.window()->close();
    QCOMPARE(cancelled, 1);
}

void StandardUserDriverTest::errorsInPlainWords()
{
    QString revealed;
    StandardUserDriver driver("1.1", nullptr, [&](const QString& folder) { revealed = folder; });
    int acknowledged = 0;
    driver.showUpdaterError(UpdateError::make(UpdateError::Case::badSignature),
                            [&] { ++acknowledged; });
    UpdateWindow& window = *driver.window();
    QVERIFY(texts(window).contains("Ambrevoli couldn't be updated"));
    QVERIFY(texts(window).contains(message(UpdateError::make(UpdateError::Case::badSignature))));
    QVERIFY(!button(window, "Show in Folder"));
    screenshot(window, "error-signature");
    QTest::mouseClick(button(window, "OK"), Qt::LeftButton);
    QCOMPARE(acknowledged, 1);

    UpdateError missing = UpdateError::make(UpdateError::Case::noPackageKit);
    missing.keptFile = "/home/someone/.cache/ambrevoli/updates/ambrevoli_1.2.0.deb";
    driver.showUpdaterError(missing, [&] { ++acknowledged; });
    screenshot(window, "error-no-packagekit");
    QTest::mouseClick(button(window, "Show in Folder"), Qt::LeftButton);
    QCOMPARE(revealed, "/home/someone/.cache/ambrevoli/updates");
    QVERIFY(window.isVisible());
    QCOMPARE(acknowledged, 1);
    window.close();
    QCOMPARE(acknowledged, 2);
}

void StandardUserDriverTest::scheduledUpdateShownAtOnceWhenTheDelegateLetsIt()
{
    RecordingDelegate delegate;
    StandardUserDriver driver("1.1", &delegate);
    driver.showUpdateFound(update(), {false, false}, [](UserDriver::Choice) {});
    QVERIFY(driver.window() && driver.window()->isVisible());
    QCOMPARE(delegate.calls, QStringList({"shouldHandle 1.2 1", "willHandle 1 1.2"}));
    driver.dismissUpdateInstallation();
    QVERIFY(!driver.window()->isVisible());
    QCOMPARE(delegate.calls.last(), "finish");
}

void StandardUserDriverTest::scheduledUpdateHandedToTheApplication()
{
    RecordingDelegate delegate;
    delegate.showsScheduledUpdates = false;
    StandardUserDriver driver("1.1", &delegate);
    std::optional<UserDriver::Choice> chosen;
    driver.showUpdateFound(update(), {false, true}, [&](UserDriver::Choice c) { chosen = c; });
    QVERIFY(!driver.window() || !driver.window()->isVisible());
    QCOMPARE(delegate.calls, QStringList({"shouldHandle 1.2 1", "willHandle 0 1.2"}));

    // The user asks to see it (a click on the application's reminder).
    driver.showUpdateInFocus();
    QVERIFY(driver.window()->isVisible());
    QVERIFY(texts(*driver.window()).contains("Ambrevoli 1.2 is available"));
    QCOMPARE(delegate.calls.last(), "attention 1.2");
    QTest::mouseClick(button(*driver.window(), "Install Update"), Qt::LeftButton);
    QCOMPARE(chosen, UserDriver::Choice::install);
}

// Brought forward again while minimized (the user minimized it, then clicked the update
// notification), the window is restored and in front: the path the host's windows take.
void StandardUserDriverTest::aMinimizedWindowComesBack()
{
    RecordingDelegate delegate;
    StandardUserDriver driver("1.1", &delegate);
    driver.showUpdateFound(update(), {true, false}, [](UserDriver::Choice) {});
    UpdateWindow& window = *driver.window();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.showMinimized();
    QTRY_VERIFY(window.isMinimized());

    driver.showUpdateInFocus();
    QVERIFY(!window.isMinimized());
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(delegate.calls.last(), "attention 1.2");
}

QTEST_MAIN(StandardUserDriverTest)

// The update windows hold their texts in full in German, Polish and the pseudo-locale: the
// found update's page, with the most words, and an error's.
void StandardUserDriverTest::textsFitInEveryLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("title");
    QTest::newRow("de") << "de"
                        << "Ambrevoli 1.2 ist verf\u00FCgbar";
    QTest::newRow("pl") << "pl"
                        << "Dost\u0119pny jest Ambrevoli 1.2";
    QTest::newRow("pseudo") << "pseudo"
                            << "[Ambrevoli 1.2 is available ~~~~~~~~~]";
}

void StandardUserDriverTest::textsFitInEveryLanguage()
{
    QFETCH(QString, language);
    QFETCH(QString, title);
    testing::ScopedLanguage chosen(language.toStdString());

    RecordingDelegate delegate;
    StandardUserDriver driver("1.1", &delegate);
    driver.showUpdateFound(update(), {true, false}, [](UserDriver::Choice) {});
    UpdateWindow& window = *driver.window();
    QVERIFY(texts(window).contains(title));
    QCOMPARE(testing::clippedTexts(window), QStringList());
    screenshot(window, "found-" + language);

    driver.showUpdaterError(UpdateError::make(UpdateError::Case::feedUnreachable), [] {});
    QCOMPARE(testing::clippedTexts(window), QStringList());
    screenshot(window, "error-" + language);
}

#include "standard_user_driver_test.moc"

#include "request_handler.h"

#include "date_time.h"
#include "desktop_fakes.h"
#include "destination_adding.h"
#include "destination_store.h"
#include "destinations_model.h"
#include "in_memory_notification_service.h"
#include "log.h"
#include "portal_folder_chooser.h"
#include "request_inbox.h"
#include "result_notifier.h"
#include "send_request.h"
#include "volumes.h"

#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

using namespace ambrevoli;
namespace fs = std::filesystem;

namespace {

// What a waiting sender heard about its request, kept after the handler let go of the waiter.
struct Heard {
    QStringList lines;
    bool notAllCopied = false;
    std::shared_ptr<CopyControl> control;
    std::vector<CopyProgress> progress;
    bool progressOffTheMainThread = false;
    bool progressOfAnotherControl = false;
};

class RecordingWaiter : public OutcomeWaiter {
public:
    RecordingWaiter(Heard& heard, bool cancelAtStart) : m_heard(heard), m_cancel(cancelAtStart) {}

    void tell(std::string_view line) override { m_heard.lines << QString::fromUtf8(line); }
    void notAllCopied() override { m_heard.notAllCopied = true; }
    void copyStarted(const std::shared_ptr<CopyControl>& control) override
    {
        m_heard.control = control;
        if (m_cancel)
            control->cancel();
    }
    void progressed(const CopyControl& control, const CopyProgress& progress) override
    {
        m_heard.progressOffTheMainThread |= QThread::currentThread() != qApp->thread();
        m_heard.progressOfAnotherControl |= &control != m_heard.control.get();
        m_heard.progress.push_back(progress);
    }

private:
    Heard& m_heard;
    const bool m_cancel;
};

} // namespace

class RequestHandlerTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_temp;
    std::string m_drop;
    std::string m_sources;
    Uuid m_destination;
    std::unique_ptr<DestinationsModel> m_model;
    std::unique_ptr<InMemoryNotificationService> m_center;
    std::unique_ptr<ResultNotifier> m_notifier;
    std::unique_ptr<QThreadPool> m_pool;
    std::unique_ptr<RequestHandler> m_handler;
    bool m_privateMounts = false;

    std::string inboxFolder() const { return m_temp.filePath("Requests").toStdString(); }

    // Hands a request for `files` to the handler with a waiter, and waits until the handler let
    // go of the waiter: the sender's end.
    Heard handle(const std::vector<std::string>& files, bool cancelAtStart, Uuid* id = nullptr)
    {
        return handle(SendRequest(Uuid::random(), now(), m_destination, files), cancelAtStart, id);
    }

    Heard handle(const SendRequest& request, bool cancelAtStart, Uuid* id = nullptr)
    {
        if (id)
            *id = request.id();
        Heard heard;
        if (!RequestInbox(inboxFolder()).write(request))
            return heard;
        auto waiter = std::make_shared<RecordingWaiter>(heard, cancelAtStart);
        const std::weak_ptr<OutcomeWaiter> watched = waiter;
        m_handler->handle(request.id(), std::move(waiter));
        if (!QTest::qWaitFor([&] { return watched.expired(); }, 20000))
            heard.lines << "(the handler never let go of the waiter)";
        return heard;
    }

    std::string source(const std::string& name) const { return m_sources + "/" + name; }

private slots:
    void initTestCase()
    {
        // Mounts made here stay in this process's own namespace: before the pool starts threads.
        m_privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }

    void init()
    {
        QVERIFY(m_temp.isValid());
        m_drop = m_temp.filePath("Drop").toStdString();
        m_sources = m_temp.filePath("src").toStdString();
        fs::remove_all(m_drop);
        fs::create_directories(m_drop);
        fs::create_directories(m_sources);
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            std::ofstream(source(name)) << name;
        const std::string file = m_temp.filePath("destinations.json").toStdString();
        DestinationStore store;
        m_destination = store.add(m_drop, "Drop");
        QVERIFY(store.save(file));

        m_model = std::make_unique<DestinationsModel>(file);
        m_center = std::make_unique<InMemoryNotificationService>();
        m_center->setAuthorizationStatus(AuthorizationStatus::authorized);
        m_notifier = std::make_unique<ResultNotifier>(
            *m_center, [] {}, [] {}, [](const QString&, auto) {});
        m_pool = std::make_unique<QThreadPool>();
        m_handler = std::make_unique<RequestHandler>(
            RequestInbox(inboxFolder()), *m_model,
            CopyEngine(m_temp.path().toStdString(), &defaultDownloadProbe), *m_notifier, *m_pool);
    }

    void cleanup()
    {
        m_pool->waitForDone();
        m_handler.reset();
        m_pool.reset();
        m_notifier.reset();
        m_center.reset();
        m_model.reset();
    }

    void theWaiterFollowsTheCopyOnTheMainThread()
    {
        const Heard heard = handle({source("a.txt"), source("b.txt"), source("c.txt")}, false);

        QVERIFY(heard.control != nullptr);
        QVERIFY(!heard.control->isCancelled());
        QVERIFY(!heard.progress.empty());
        QVERIFY(!heard.progressOffTheMainThread);
        QVERIFY(!heard.progressOfAnotherControl);
        for (std::size_t i = 1; i < heard.progress.size(); ++i)
            QVERIFY(heard.progress[i].itemsDone >= heard.progress[i - 1].itemsDone);
        QCOMPARE(heard.progress.back().itemsDone, 3);
        QCOMPARE(heard.progress.back().itemsTotal, 3);
        QCOMPARE(heard.lines.value(1), "Copied 3 of 3 items");
        QVERIFY(!heard.notAllCopied);
        QVERIFY(fs::exists(m_drop + "/c.txt"));
    }

    void aCopyCancelledThroughItsControlIsLoggedAsCancelled()
    {
        LogCapture log;
        Uuid id;
        const Heard heard = handle({source("a.txt"), source("b.txt")}, true, &id);

        const QString request = QString::fromStdString(id.text());
        QCOMPARE(
            heard.lines,
            (QStringList{"Request " + request + " is valid: 2 items found, 0 missing",
                         "Request " + request + " was cancelled", "Copied 0 of 2 items",
                         "Destination: Drop at " + QString::fromStdString(m_drop),
                         "Couldn't copy (cancelled): " + QString::fromStdString(source("a.txt")),
                         "Couldn't copy (cancelled): " + QString::fromStdString(source("b.txt"))}));
        QVERIFY(heard.notAllCopied);
        QVERIFY(fs::is_empty(m_drop));
        // Paths stay private in the log; the request's own line does not name any.
        const auto lines = log.lines();
        QVERIFY(std::find(lines.begin(), lines.end(), "Request " + id.text() + " was cancelled") !=
                lines.end());
        QVERIFY(std::find(lines.begin(), lines.end(), "Couldn't copy (cancelled): <private>") !=
                lines.end());
    }

    void aVolumeIsCopiedIntoOnlyWhileItIsTheOneMountedAtItsRoot()
    {
        if (!m_privateMounts)
            QSKIP("needs root and a mount namespace of its own");
        const std::string root = m_temp.filePath("STICK").toStdString();
        fs::create_directories(root);
        QVERIFY(::mount("stick-a", root.c_str(), "tmpfs", 0, nullptr) == 0);
        // Whatever happens, the folder is left unmounted for the temporary folder to go.
        const std::unique_ptr<const char, void (*)(const char*)> unmount(
            root.c_str(), [](const char* path) { ::umount2(path, MNT_DETACH); });
        const VolumeTarget stick{root, volumeIdentity(root).value_or("")};
        QVERIFY(!stick.identity.empty());

        Heard heard =
            handle(SendRequest::toVolume(Uuid::random(), now(), stick, {source("a.txt")}), false);
        QCOMPARE(heard.lines.value(1), "Copied 1 of 1 items");
        QCOMPARE(heard.lines.value(2), "Destination: STICK at " + QString::fromStdString(root));
        QVERIFY(fs::exists(root + "/a.txt"));

        // Pulled, and another volume mounted at the same place.
        QVERIFY(::umount(root.c_str()) == 0);
        QVERIFY(::mount("stick-b", root.c_str(), "tmpfs", 0, nullptr) == 0);
        heard =
            handle(SendRequest::toVolume(Uuid::random(), now(), stick, {source("b.txt")}), false);
        QCOMPARE(heard.lines.value(1), "Couldn't copy 1 items: missing");
        QVERIFY(heard.notAllCopied);
        QVERIFY(fs::is_empty(root));
        // The notification is posted after the sender is let go.
        QTRY_VERIFY(!m_center->delivered().isEmpty());
        const NotificationRequest told = m_center->delivered().back();
        QVERIFY2((told.title + told.body).contains("STICK"), qPrintable(told.title + told.body));
        QVERIFY(::umount(root.c_str()) == 0);

        // Pulled, the folder left behind: not a volume at all.
        heard =
            handle(SendRequest::toVolume(Uuid::random(), now(), stick, {source("c.txt")}), false);
        QCOMPARE(heard.lines.value(1), "Couldn't copy 1 items: missing");
        QVERIFY(fs::is_empty(root));
    }
    // "Other Folder…": the folder comes from the portal, or from the toolkit's chooser where
    // there is no portal; the send then goes there like any other, and its notification offers
    // to make the folder a destination. A cancelled chooser copies nothing and posts nothing.
    void aChosenFolderIsSentToAndCanBeAdded_data()
    {
        QTest::addColumn<bool>("portal");
        QTest::addColumn<bool>("chosen");
        QTest::newRow("portal answers a folder") << true << true;
        QTest::newRow("portal cancelled") << true << false;
        QTest::newRow("no portal: the toolkit's chooser") << false << true;
    }

    void aChosenFolderIsSentToAndCanBeAdded()
    {
        QFETCH(bool, portal);
        QFETCH(bool, chosen);
        testing::PrivateSessionBus bus;
        if (bus.address().isEmpty())
            QSKIP(qPrintable("no private bus: " + bus.failure()));
        const QString folder = m_temp.filePath("Chosen");
        fs::remove_all(folder.toStdString());
        QVERIFY(QDir().mkpath(folder));
        testing::FakeFileChooserPortal portalStandIn;
        if (portal) {
            QVERIFY(portalStandIn.serve(bus.connect("portal")));
            if (chosen)
                portalStandIn.answer = folder;
        }
        QStringList toolkitTitles;
        PortalFolderChooser chooser(
            bus.connect("host"), [&](const QString& title, const QString&, auto done) {
                toolkitTitles << title;
                done(folder);
            });
        m_handler->setChooseFolder([&](const QString& title, auto done) {
            chooser.choose(title, {}, std::move(done));
        });
        m_notifier->setAddFolder(
            [this](const QString& added) { addDestinations(*m_model, {added}); });
        m_center->setDelegate(m_notifier.get());

        const Heard heard = handle(
            SendRequest::choosingFolder(Uuid::random(), now(), {source("a.txt"), source("b.txt")}),
            false);

        const QStringList asked = portal ? portalStandIn.titles : toolkitTitles;
        QCOMPARE(asked, QStringList{RequestHandler::chooserTitle});
        QCOMPARE(fs::exists(folder.toStdString() + "/b.txt"), chosen);
        QCOMPARE(heard.notAllCopied, !chosen);
        if (!chosen) {
            QVERIFY2(heard.lines.last().endsWith(": no folder was chosen, nothing copied"),
                     qPrintable(heard.lines.join('\n')));
            QTest::qWait(50);
            QVERIFY(m_center->delivered().isEmpty());
            return;
        }
        QTRY_COMPARE(m_center->delivered().size(), 1);
        const NotificationRequest posted = m_center->delivered().first();
        QCOMPARE(posted.title, "Copied 2 items to Chosen");
        QVERIFY(posted.actions.contains(
            NotificationAction{addToSendToActionIdentifier, "Add to Send To"}));
        QVERIFY(!m_model->library().store().destinations().empty());
        const std::size_t before = m_model->library().store().destinations().size();
        QVERIFY(m_center->click(posted.identifier, addToSendToActionIdentifier));
        const auto& destinations = m_model->library().store().destinations();
        QCOMPARE(destinations.size(), before + 1);
        QCOMPARE(QString::fromStdString(destinations.back().path()), folder);
        QCOMPARE(destinations.back().label(), std::string("Chosen"));
    }

    // A send to a listed destination offers no adding.
    void aDestinationSendOffersNoAdding()
    {
        m_notifier->setAddFolder([](const QString&) {});
        handle({source("a.txt")}, false);
        QTRY_COMPARE(m_center->delivered().size(), 1);
        QVERIFY(m_center->delivered().first().actions.isEmpty());
    }
};

QTEST_MAIN(RequestHandlerTest)
#include "request_handler_test.moc"

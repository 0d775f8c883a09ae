#include "instance_channel.h"

#include "host_connection.h"
#include "wire_frame.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <mutex>

using namespace ambrevoli;

namespace {

// Leaves a socket file nobody listens on, as a crashed instance leaves it.
bool leaveDeadSocket(const QString& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

} // namespace

class InstanceChannelTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    QString socketPath() const { return m_temp.path() + "/instance"; }

    // The messages an instance received; it answers every folder as missing.
    QList<InstanceMessage> m_received;
    InstanceChannel::Receiver recorder()
    {
        return [this](const InstanceMessage& message, const auto&) {
            m_received << message;
            return InstanceReceipt{
                std::vector<FolderOutcome>(message.addFolders.size(), FolderOutcome::missing)};
        };
    }

    // Runs a later start on a thread of its own: it blocks until the instance answers, which
    // needs this thread's event loop. `meanwhile` runs here once the later start is under way.
    InstanceChannel::Start
    startLater(const InstanceMessage& message,
               std::chrono::milliseconds patience = InstanceChannel::defaultPatience,
               const std::function<void()>& meanwhile = {})
    {
        auto later = std::async(std::launch::async, [&] {
            InstanceChannel channel(socketPath(), patience);
            return channel.claim(message);
        });
        if (meanwhile) {
            QTest::qWait(100);
            meanwhile();
        }
        while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            QCoreApplication::processEvents();
        return later.get();
    }

private slots:
    void messagesRoundTrip()
    {
        const InstanceMessage message{true,
                                      {"ambrevoli://settings", "x y"},
                                      {"/home/me/Drop", "/tmp/line\nbreak", "/tmp/ü"},
                                      "gnome-shell/Files/2741-7-host_TIME123456"};
        QCOMPARE(InstanceMessage::decode(message.encode()), message);
        QCOMPARE(InstanceMessage::decode(InstanceMessage{}.encode()), InstanceMessage{});
        InstanceMessage reopen;
        reopen.activates = true;
        reopen.reopens = true;
        QCOMPARE(InstanceMessage::decode(reopen.encode()), reopen);
        // A plain start of a host that knew no reopening sent only its activation: no reopen.
        const auto older = InstanceMessage::decode(QByteArray("AMBV1\0a1\0", 9));
        QVERIFY(older);
        reopen.reopens = false;
        QCOMPARE(*older, reopen);
        const InstanceMessage waiting{false, {"ambrevoli://send?request=X"}, {}, {}, true};
        QCOMPARE(InstanceMessage::decode(waiting.encode()), waiting);
        InstanceMessage watching = waiting;
        watching.wantsProgress = true;
        QCOMPARE(InstanceMessage::decode(watching.encode()), watching);
        InstanceMessage fromTheDesktop = reopen;
        fromTheDesktop.hasDisplay = true;
        QCOMPARE(InstanceMessage::decode(fromTheDesktop.encode()), fromTheDesktop);
        // What senders that know nothing of waiting send is still understood.
        QCOMPARE(InstanceMessage::decode(QByteArray("AMBV1\0a0\0uambrevoli://settings\0", 31)),
                 (InstanceMessage{false, {"ambrevoli://settings"}, {}}));
    }

    void init() { m_received.clear(); }

    void aLaterStartHandsItsMessageToTheInstance()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(first.listen([this](const InstanceMessage& message, const auto&) {
            m_received << message;
            return InstanceReceipt{{FolderOutcome::added, FolderOutcome::notAFolder}};
        }));
        QCOMPARE(QFileInfo(socketPath()).permissions() & (QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());

        // The receipt comes back only once the instance has handled the message.
        const InstanceMessage message{false, {"ambrevoli://send?request=X"}, {"/a", "/b"}};
        const InstanceChannel::Start later = startLater(message);
        QCOMPARE(later.role, InstanceChannel::Role::forwarded);
        QCOMPARE(later.receipt,
                 (InstanceReceipt{{FolderOutcome::added, FolderOutcome::notAFolder}}));
        QCOMPARE(m_received, QList<InstanceMessage>{message});
    }

    void aSocketLeftByADeadInstanceIsReplaced()
    {
        QVERIFY(leaveDeadSocket(socketPath()));
        InstanceChannel channel(socketPath());
        QCOMPARE(channel.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(channel.listen(recorder()));
        QCOMPARE(startLater({}).role, InstanceChannel::Role::forwarded);
        QCOMPARE(m_received.size(), 1);
    }

    // The race of two first starts: the one holding the lock is still setting up. The other
    // neither replaces its socket file nor becomes a second instance; it waits and hands over.
    void aStartWaitsForTheLockHolderToListen()
    {
        QVERIFY(leaveDeadSocket(socketPath()));
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        const InstanceMessage message{false, {"ambrevoli://send?request=Y"}, {}};
        const InstanceChannel::Start later = startLater(message, InstanceChannel::defaultPatience,
                                                        [&] { QVERIFY(first.listen(recorder())); });
        QCOMPARE(later.role, InstanceChannel::Role::forwarded);
        QCOMPARE(m_received, QList<InstanceMessage>{message});
    }

    void aLockHolderThatNeverAnswersIsGivenUpOn()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QCOMPARE(startLater({}, std::chrono::milliseconds(200)).role,
                 InstanceChannel::Role::unanswered);

        // Nor does an instance that stopped listening to finish its work take anything.
        QVERIFY(first.listen(recorder()));
        first.stopListening();
        QVERIFY(!QFileInfo::exists(socketPath()));
        QCOMPARE(startLater({}, std::chrono::milliseconds(200)).role,
                 InstanceChannel::Role::unanswered);
        QVERIFY(m_received.isEmpty());
    }

    void theLockGoesWithTheInstance()
    {
        {
            InstanceChannel first(socketPath());
            QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        }
        InstanceChannel second(socketPath());
        QCOMPARE(second.claim({}).role, InstanceChannel::Role::primary);
    }

    // A sender waiting for the outcome gets the receipt, then every line told about its
    // requests, even those told while the message was handled, then the end once the last
    // holder of the waiter let go.
    void aWaitingSenderHearsTheOutcomeAfterTheReceipt()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        std::shared_ptr<OutcomeWaiter> held;
        QVERIFY(first.listen([&](const InstanceMessage& message, const auto& waiter) {
            m_received << message;
            waiter->tell("Request X is valid: 1 items found, 1 missing");
            held = waiter;
            return InstanceReceipt{{FolderOutcome::added}};
        }));
        InstanceMessage message{false, {"ambrevoli://send?request=X"}, {"/a"}, {}, true};
        auto later = std::async(std::launch::async, [&] {
            auto connection = HostConnection::handOff(
                QFile::encodeName(socketPath()).toStdString(),
                HostMessage{false, {"ambrevoli://send?request=X"}, {"/a"}, {}, true},
                std::chrono::seconds(10));
            std::vector<OutcomeRecord> records;
            while (connection)
                if (auto record = connection->nextOutcome())
                    records.push_back(*record);
                else
                    break;
            return std::pair(connection ? std::optional(connection->receipt()) : std::nullopt,
                             records);
        });
        QTRY_VERIFY(held);
        // The copy finishes later.
        held->tell("Copied 1 of 2 items");
        held->notAllCopied();
        held.reset();
        while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            QCoreApplication::processEvents();
        const auto [receipt, records] = later.get();
        QCOMPARE(receipt, std::optional(HostReceipt{{FolderOutcome::added}}));
        QCOMPARE(records,
                 (std::vector<OutcomeRecord>{
                     OutcomeRecord::line("Request X is valid: 1 items found, 1 missing"),
                     OutcomeRecord::line("Copied 1 of 2 items"), OutcomeRecord::end(false)}));
        QCOMPARE(m_received, QList<InstanceMessage>{message});
    }

    // Progress goes only to a sender that asked for it: one that did not would take the record
    // for garbage. Figures of several copies are summed; reports in quick succession coalesce
    // into the latest.
    void progressGoesOnlyToASenderThatAskedForIt_data()
    {
        QTest::addColumn<bool>("asked");
        QTest::newRow("asked") << true;
        QTest::newRow("not asked") << false;
    }

    void progressGoesOnlyToASenderThatAskedForIt()
    {
        QFETCH(bool, asked);
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        std::shared_ptr<OutcomeWaiter> held;
        const auto one = std::make_shared<CopyControl>(), two = std::make_shared<CopyControl>();
        QVERIFY(first.listen([&](const InstanceMessage&, const auto& waiter) {
            waiter->copyStarted(one);
            waiter->progressed(*one, {0, 2, 0, 20});
            held = waiter;
            return InstanceReceipt{};
        }));
        HostMessage message{false, {"ambrevoli://send?request=X"}, {}, {}, true};
        message.wantsProgress = asked;
        std::mutex mutex;
        std::vector<OutcomeRecord> records;
        const auto received = [&] {
            std::lock_guard lock(mutex);
            return records;
        };
        const auto last = [&] {
            const auto all = received();
            return all.empty() ? std::nullopt : std::optional(all.back());
        };
        auto later = std::async(std::launch::async, [&] {
            auto connection = HostConnection::handOff(QFile::encodeName(socketPath()).toStdString(),
                                                      message, std::chrono::seconds(10));
            while (connection)
                if (auto record = connection->nextOutcome()) {
                    std::lock_guard lock(mutex);
                    records.push_back(*record);
                } else {
                    break;
                }
        });
        QTRY_VERIFY(held);
        for (std::int64_t bytes = 1; bytes <= 20; ++bytes)
            held->progressed(*one, {bytes / 20 * 2, 2, bytes, 20});
        if (asked)
            QTRY_COMPARE(last(), OutcomeRecord::progress({2, 2, 20, 20}));
        // A copy that knows no byte total makes the whole count in items.
        held->copyStarted(two);
        held->progressed(*two, {0, 3, 7, std::nullopt});
        if (asked)
            QTRY_COMPARE(last(), OutcomeRecord::progress({2, 5, 27, std::nullopt}));
        held->tell("Copied 2 of 2 items");
        held.reset();
        while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            QCoreApplication::processEvents();
        std::vector<OutcomeRecord> progress, rest;
        for (const OutcomeRecord& record : received())
            (record.kind == OutcomeRecord::Kind::progress ? progress : rest).push_back(record);
        QCOMPARE(rest, (std::vector<OutcomeRecord>{OutcomeRecord::line("Copied 2 of 2 items"),
                                                   OutcomeRecord::end(true)}));
        if (!asked) {
            QVERIFY(progress.empty());
            return;
        }
        QCOMPARE(progress.front(), OutcomeRecord::progress({0, 2, 0, 20}));
        // Twenty-two reports within moments: sent at most a few times, not each.
        QVERIFY2(progress.size() < 10, qPrintable(QString::number(progress.size())));
    }

    // What a waiting sender sends after its message: a cancel stops every copy of its requests,
    // those that start later too; anything else, or going away, stops nothing.
    void aSenderCancelsItsCopiesOnlyByAskingTo_data()
    {
        QTest::addColumn<QByteArray>("behind"); // sent right behind the message
        QTest::addColumn<QByteArray>("after");  // sent once the receipt came
        QTest::addColumn<bool>("cancels");
        QTest::newRow("cancel after the receipt") << QByteArray() << QByteArray("c") << true;
        QTest::newRow("cancel behind the message") << QByteArray("c") << QByteArray() << true;
        QTest::newRow("gone without a word") << QByteArray() << QByteArray() << false;
        QTest::newRow("other bytes, then gone") << QByteArray("x") << QByteArray("zz") << false;
    }

    void aSenderCancelsItsCopiesOnlyByAskingTo()
    {
        QFETCH(QByteArray, behind);
        QFETCH(QByteArray, after);
        QFETCH(bool, cancels);
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        std::shared_ptr<OutcomeWaiter> held;
        const auto started = std::make_shared<CopyControl>();
        const auto later = std::make_shared<CopyControl>();
        QVERIFY(first.listen([&](const InstanceMessage&, const auto& waiter) {
            waiter->copyStarted(started);
            held = waiter;
            return InstanceReceipt{};
        }));
        QLocalSocket sender;
        sender.connectToServer(socketPath());
        QVERIFY(sender.waitForConnected(1000));
        const InstanceMessage message{false, {"ambrevoli://send?request=X"}, {}, {}, true};
        sender.write(QByteArray::fromStdString(framed(message.wire().encode())) + behind);
        QTRY_VERIFY(sender.bytesAvailable() > 0);
        QCOMPARE(sender.read(1), QByteArray(1, receiptMark));
        sender.write(after);
        sender.flush();
        if (cancels) {
            QTRY_VERIFY(started->isCancelled());
        } else {
            sender.disconnectFromServer();
            QTest::qWait(200);
            QVERIFY(!started->isCancelled());
        }
        // A request whose copy starts only now.
        held->copyStarted(later);
        QCOMPARE(later->isCancelled(), cancels);
        held.reset();
    }

    void aConnectionFromAnotherUserIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to connect as another user");
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(first.listen(recorder()));
        // Only the folder keeps others out; here it lets them reach the socket.
        ::chmod(QFile::encodeName(m_temp.path()).constData(), 0755);
        ::chmod(QFile::encodeName(socketPath()).constData(), 0777);
        const passwd* nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        const std::string framedMessage =
            framed(HostMessage{false, {"ambrevoli://send?request=X"}, {}, {}}.encode());
        const std::string path = QFile::encodeName(socketPath()).toStdString();
        int answer[2];
        QVERIFY(::pipe(answer) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // Connects as nobody, sends a message and reports how many bytes came back.
            long count = -1;
            if (::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) == 0 &&
                ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) == 0) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                    (void)!::send(fd, framedMessage.data(), framedMessage.size(), MSG_NOSIGNAL);
                    char reply[64];
                    count = 0;
                    ssize_t n;
                    while ((n = ::read(fd, reply, sizeof reply)) > 0)
                        count += n;
                }
            }
            (void)!::write(answer[1], &count, sizeof count);
            ::_exit(0);
        }
        ::close(answer[1]);
        long count = -2;
        auto reading = std::async(std::launch::async, [&] {
            return ::read(answer[0], &count, sizeof count) == sizeof count;
        });
        while (reading.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            QCoreApplication::processEvents();
        QVERIFY(reading.get());
        ::close(answer[0]);
        ::waitpid(child, nullptr, 0);
        QCOMPARE(count, 0L);
        QVERIFY(m_received.isEmpty());
    }

    void garbageFromAClientIsDropped()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(first.listen(recorder()));
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        QVERIFY(socket.waitForConnected(1000));
        socket.write(QByteArray("\0\0\0\x05hello", 9));
        socket.flush();
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
        QVERIFY(m_received.isEmpty());
        // The instance still answers the next start.
        QCOMPARE(startLater({}).role, InstanceChannel::Role::forwarded);
    }

    // Connections that never send a word: past the cap the oldest are closed, the newest kept,
    // and a start still gets through.
    void idleConnectionsBeyondTheCapCloseTheOldest()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(first.listen(recorder()));
        constexpr int idle = int(InstanceChannel::maxUnfinished) + 36;
        std::vector<std::unique_ptr<QLocalSocket>> sockets;
        for (int i = 0; i < idle; ++i) {
            auto& socket = sockets.emplace_back(std::make_unique<QLocalSocket>());
            socket->connectToServer(socketPath());
            QVERIFY(socket->waitForConnected(1000));
        }
        const auto closed = [&] {
            return std::count_if(sockets.begin(), sockets.end(), [](const auto& socket) {
                return socket->state() == QLocalSocket::UnconnectedState;
            });
        };
        QTRY_COMPARE(closed(), long(idle) - long(InstanceChannel::maxUnfinished));
        for (int i = 0; i < idle; ++i)
            QCOMPARE(sockets[std::size_t(i)]->state() == QLocalSocket::UnconnectedState,
                     i < idle - int(InstanceChannel::maxUnfinished));
        QCOMPARE(startLater({}).role, InstanceChannel::Role::forwarded);
        QCOMPARE(m_received.size(), 1);
    }
};

QTEST_GUILESS_MAIN(InstanceChannelTest)
#include "instance_channel_test.moc"

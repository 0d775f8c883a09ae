#include "instance_channel.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>

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
        return [this](const InstanceMessage& message) {
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
    }

    void malformedMessagesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray head("AMBV1\0", 6);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("other magic") << QByteArray("AMBV2\0a0\0", 9);
        QTest::newRow("no activates") << head + QByteArray("u/x\0", 4);
        QTest::newRow("activates twice") << head + QByteArray("a1\0a0\0", 6);
        QTest::newRow("activates not 0/1") << head + QByteArray("ayes\0", 5);
        QTest::newRow("two tokens") << head + QByteArray("a1\0tA\0tB\0", 9);
        QTest::newRow("empty token") << head + QByteArray("a1\0t\0", 5);
        QTest::newRow("unknown record") << head + QByteArray("a0\0z/x\0", 7);
        QTest::newRow("unterminated") << head + QByteArray("a0\0u/x", 6);
        QTest::newRow("not UTF-8") << head + QByteArray("a0\0f/\xff\0", 7);
        QTest::newRow("relative folder") << head + QByteArray("a0\0fDrop\0", 9);
        QTest::newRow("empty folder") << head + QByteArray("a0\0f\0", 5);
        QTest::newRow("reopens twice") << head + QByteArray("a1\0r\0r\0", 7);
        QTest::newRow("reopens with text") << head + QByteArray("a1\0r1\0", 6);
        QTest::newRow("too large")
            << head + QByteArray("a0\0u", 4) + QByteArray(InstanceMessage::maxSize, 'x') + '\0';
    }

    void malformedMessagesAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!InstanceMessage::decode(bytes));
    }

    void init() { m_received.clear(); }

    void aLaterStartHandsItsMessageToTheInstance()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.claim({}).role, InstanceChannel::Role::primary);
        QVERIFY(first.listen([this](const InstanceMessage& message) {
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
};

QTEST_GUILESS_MAIN(InstanceChannelTest)
#include "instance_channel_test.moc"

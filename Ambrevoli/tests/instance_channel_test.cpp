#include "instance_channel.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>

using namespace ambrevoli;

class InstanceChannelTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    QString socketPath() const { return m_temp.path() + "/instance"; }

    // Runs a later start on a thread of its own: it blocks until the instance confirms, which
    // needs this thread's event loop.
    InstanceChannel::Role startLater(const InstanceMessage& message)
    {
        auto later = std::async(std::launch::async, [&] {
            InstanceChannel channel(socketPath());
            return channel.start(message);
        });
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
        QTest::newRow("too large")
            << head + QByteArray("a0\0u", 4) + QByteArray(InstanceMessage::maxSize, 'x') + '\0';
    }

    void malformedMessagesAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!InstanceMessage::decode(bytes));
    }

    void aLaterStartHandsItsMessageToTheInstance()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.start({}), InstanceChannel::Role::primary);
        QCOMPARE(QFileInfo(socketPath()).permissions() & (QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());
        QSignalSpy spy(&first, &InstanceChannel::messageReceived);

        const InstanceMessage message{false, {"ambrevoli://send?request=X"}, {"/a"}};
        QCOMPARE(startLater(message), InstanceChannel::Role::forwarded);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<InstanceMessage>(), message);
    }

    void aSocketLeftByADeadInstanceIsReplaced()
    {
        // A socket file nobody listens on, as a crashed instance leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = socketPath().toLocal8Bit();
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        QVERIFY(QFileInfo::exists(socketPath()));

        InstanceChannel channel(socketPath());
        QCOMPARE(channel.start({}), InstanceChannel::Role::primary);
        QCOMPARE(startLater({}), InstanceChannel::Role::forwarded);
    }

    void garbageFromAClientIsDropped()
    {
        InstanceChannel first(socketPath());
        QCOMPARE(first.start({}), InstanceChannel::Role::primary);
        QSignalSpy spy(&first, &InstanceChannel::messageReceived);
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        QVERIFY(socket.waitForConnected(1000));
        socket.write(QByteArray("\0\0\0\x05hello", 9));
        socket.flush();
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(spy.count(), 0);
        // The instance still answers the next start.
        QCOMPARE(startLater({}), InstanceChannel::Role::forwarded);
    }
};

QTEST_GUILESS_MAIN(InstanceChannelTest)
#include "instance_channel_test.moc"

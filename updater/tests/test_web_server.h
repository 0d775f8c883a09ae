#pragma once

#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace ambrevoli::testing {

// A web server on 127.0.0.1 that answers each path with what the test put there, once per
// connection, and counts the requests.
class TestWebServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray location;     // for a redirect
        qsizetype sendOnly = -1; // promise all of body but send only this much, then hang up
        int trickleMs = 0;       // send the body a byte at a time, one every this many ms
    };

    TestWebServer()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        });
    }

    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

    QHash<QString, Response> routes;
    QHash<QString, int> requests;

private:
    void answer(QTcpSocket* socket)
    {
        m_pending[socket] += socket->readAll();
        const QByteArray& head = m_pending[socket];
        if (!head.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(head.split(' ').value(1));
        m_pending.remove(socket);
        ++requests[path];
        const Response response = routes.value(path, Response{404, "not here", {}, -1});
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status) + " Whatever\r\n";
        reply += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        if (!response.location.isEmpty())
            reply += "Location: " + response.location + "\r\n";
        reply += "Connection: close\r\n\r\n";
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (response.trickleMs > 0) {
            socket->write(reply);
            trickle(socket, response.body, response.trickleMs);
            return;
        }
        reply += response.sendOnly >= 0 ? response.body.left(response.sendOnly) : response.body;
        socket->write(reply);
        socket->disconnectFromHost();
    }

    void trickle(QTcpSocket* socket, QByteArray rest, int intervalMs)
    {
        if (rest.isEmpty()) {
            socket->disconnectFromHost();
            return;
        }
        socket->write(rest.left(1));
        QTimer::singleShot(intervalMs, socket, [this, socket, rest = rest.mid(1), intervalMs] {
            if (socket->state() == QAbstractSocket::ConnectedState)
                trickle(socket, rest, intervalMs);
        });
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

} // namespace ambrevoli::testing

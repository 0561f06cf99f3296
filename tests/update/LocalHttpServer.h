#pragma once
// A small HTTP/1.1 server inside the test process, standing in for the update server: each
// path answers with a prepared response, whole, cut short, or held half way.
#include "extras/frmUpdate.h"
#include "services/CWinReg.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <algorithm>
#include <map>
#include <utility>

namespace sendmere::test {

// A small HTTP/1.1 server answering each path with a prepared response, then closing.
class LocalHttpServer : public QObject {
public:
    struct Response {
        QByteArray status = "200 OK";
        QByteArray contentType = "text/plain";
        QByteArray body;
        bool withLength = true;
        qint64 sendBytes = -1;  // send only this much of the body, then close (-1: all)
        bool holdHalf = false;  // send half of the body and wait for release()
        QByteArray extraHeaders = {};  // more header lines, each ending in CRLF
        bool endless = false;     // after the body, send it again and again until the client goes
    };

    LocalHttpServer() {
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    ++m_closedByClient;
                    socket->deleteLater();
                });
            }
        });
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    void route(const QByteArray &path, const Response &response) { m_routes[path] = response; }
    const QList<QByteArray> &requests() const { return m_requests; }
    bool holding() const {
        return std::any_of(m_held.cbegin(), m_held.cend(), [](const auto &held) { return !held.first.isNull(); });
    }
    int closedConnections() const { return m_closedByClient; }

    // Sends the rest of every held response.
    void release() {
        for (const auto &[socket, rest] : std::exchange(m_held, {})) {
            if (!socket) continue;
            socket->write(rest);
            socket->disconnectFromHost();
        }
    }

private:
    void serve(QTcpSocket *socket) {
        QByteArray &request = m_pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n")) return;
        const QByteArray path = request.split(' ').value(1);
        m_requests << path;
        m_pending.erase(socket);
        const auto found = m_routes.find(path);
        const Response response = found != m_routes.end() ? found->second : Response{"404 Not Found", "text/plain", "no such page"};
        QByteArray head = "HTTP/1.1 " + response.status + "\r\nContent-Type: " + response.contentType + "\r\nConnection: close\r\n";
        if (response.withLength) head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        socket->write(head + response.extraHeaders + "\r\n");
        if (response.endless) {
            // Refilled whenever the client has taken what was sent, for as long as it reads.
            const QByteArray chunk = response.body;
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
                if (socket->bytesToWrite() < 4 * chunk.size()) socket->write(chunk);
            });
            socket->write(chunk);
            return;
        }
        if (response.holdHalf) {
            const qsizetype half = response.body.size() / 2;
            socket->write(response.body.left(half));
            m_held.append({socket, response.body.mid(half)});
            return;
        }
        socket->write(response.sendBytes < 0 ? response.body : response.body.left(response.sendBytes));
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::map<QByteArray, Response> m_routes;
    std::map<QTcpSocket *, QByteArray> m_pending;
    QList<QByteArray> m_requests;
    QList<std::pair<QPointer<QTcpSocket>, QByteArray>> m_held;
    int m_closedByClient = 0;
};

inline const QByteArray CheckPath = "/_check_update.asp?ver=" + QByteArray::number(SENDMERE_VERSION_MAJOR) + '.' +
                                    QByteArray::number(SENDMERE_VERSION_MINOR);

// Points the program's update check at server.
inline void useServer(const QString &server) {
    CWinReg reg;
    QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), frmUpdate::SettingsKey, true));
    QVERIFY(reg.SetStringValue(frmUpdate::UpdateServerValue, server));
    reg.CloseKey();
}

}  // namespace sendmere::test

#pragma once
// A small HTTP/1.1 server inside the test process, standing in for the update server: each path answers with a prepared response, whole,
// cut short, held half way or endless.
#include "extras/frmUpdate.h"
#include "services/CWinReg.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <map>

namespace sendmere::test {

class LocalHttpServer : public QObject {
public:
    struct Response {
        QByteArray status = "200 OK", contentType = "text/plain", body;
        bool withLength = true;
        qint64 sendBytes = -1;  // send only this much of the body, then close (-1: all)
        bool holdHalf = false;  // send half of the body and wait for release()
        QByteArray extraHeaders = {};  // more header lines, each ending in CRLF
        bool endless = false;  // after the body, send it again and again until the client goes
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
    bool holding() const { return std::any_of(m_held.cbegin(), m_held.cend(), [](const auto &held) { return held.first; }); }
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
        const QByteArray body = response.body;
        if (response.endless) {  // refilled whenever the client has taken what was sent
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, body] {
                if (socket->bytesToWrite() < 4 * body.size()) socket->write(body);
            });
            socket->write(body);
        } else if (response.holdHalf) {
            socket->write(body.left(body.size() / 2));
            m_held.append({socket, body.mid(body.size() / 2)});
        } else {
            socket->write(response.sendBytes < 0 ? body : body.left(response.sendBytes));
            socket->disconnectFromHost();
        }
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
}

}  // namespace sendmere::test

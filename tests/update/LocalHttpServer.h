#pragma once
// A small HTTP/1.1 server inside the test process, standing in for the update server: each
// path answers with a prepared response, whole, cut short, or held half way.
#include "app/CWinReg.h"
#include "extras/frmUpdate.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <map>

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
    bool holding() const { return !m_held.isNull(); }
    int closedConnections() const { return m_closedByClient; }

    void release() {
        if (!m_held) return;
        m_held->write(m_heldRest);
        m_held->disconnectFromHost();
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
        socket->write(head + "\r\n");
        if (response.holdHalf) {
            const qsizetype half = response.body.size() / 2;
            socket->write(response.body.left(half));
            m_held = socket;
            m_heldRest = response.body.mid(half);
            return;
        }
        socket->write(response.sendBytes < 0 ? response.body : response.body.left(response.sendBytes));
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::map<QByteArray, Response> m_routes;
    std::map<QTcpSocket *, QByteArray> m_pending;
    QList<QByteArray> m_requests;
    QPointer<QTcpSocket> m_held;
    QByteArray m_heldRest;
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

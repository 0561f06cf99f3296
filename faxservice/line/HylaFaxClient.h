#pragma once
// A connection to a HylaFAX server (hfaxd, TCP 4559 by default) for one thread: each call
// blocks until the server has answered or the time is up, and raises LineError when it
// failed. Data (an upload, a list, a received fax) goes over a passive data connection.
#include "HylaFaxProtocol.h"

#include <QTcpSocket>
#include <functional>
#include <memory>

namespace sendmere::faxd::hylafax {

struct ServerSettings {
    QString host;
    quint16 port = 4559;
    QString user;
    // Asked for the password when the server wants one (331 after USER); nullopt with a
    // reason in error when there is none to give.
    std::function<std::optional<QString>(QString &error)> password;
    // Asked for the administrator's password before a request that needs it (ANSWER).
    std::function<std::optional<QString>(QString &error)> adminPassword;
    int timeoutMs = 15000;
    QString name() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

class HylaFaxClient {
public:
    explicit HylaFaxClient(ServerSettings settings);
    ~HylaFaxClient();
    HylaFaxClient(const HylaFaxClient &) = delete;
    HylaFaxClient &operator=(const HylaFaxClient &) = delete;

    const ServerSettings &settings() const { return m_settings; }
    bool isOpen() const;
    // Connects and logs in when there is no open session; the list formats are set.
    void open();
    void close();  // says QUIT when it can, then drops the connection

    Reply command(const QString &line);             // any reply
    Reply expectOk(const QString &line);             // a 2xx reply, or LineError (Rejected)
    // ADMIN with the administrator's password: the session may then answer calls. LineError
    // (Rejected) when there is no password or the server refuses it.
    void becomeAdmin();

    QString upload(const QString &localPath);        // STOT: the server's name of the file
    QByteArray list(const QString &directory);       // LIST with the format set for it
    void retrieve(const QString &serverPath, const QString &localPath);  // RETR into a file

    // A job and its parameters, created and submitted: the server's job id.
    struct NewJob {
        QString tag;
        QList<std::pair<QString, QString>> parameters;  // JPARM name, value (sent quoted)
        QString document;                               // the uploaded file
    };
    QString submit(const NewJob &job);

private:
    Reply readReply();
    void send(const QString &line);
    std::unique_ptr<QTcpSocket> openData();
    Reply finishData(std::unique_ptr<QTcpSocket> data, const Reply &start);
    [[noreturn]] void fail(LineError::Kind kind, const QString &what);

    ServerSettings m_settings;
    std::unique_ptr<QTcpSocket> m_socket;
    ReplyReader m_reader;
};

}  // namespace sendmere::faxd::hylafax

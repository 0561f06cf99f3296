#include "HylaFaxClient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSaveFile>
#include <QThread>

namespace sendmere::faxd::hylafax {

namespace {

constexpr qsizetype MaxLineLength = 64 * 1024;  // a reply line longer than this is no reply
constexpr int SliceMs = 200;  // waits are cut into slices, so that a stopping service is not held up

bool stopping() { return QThread::currentThread()->isInterruptionRequested(); }

int slice(const QDeadlineTimer &deadline) { return int(std::clamp<qint64>(deadline.remainingTime(), 1, SliceMs)); }

}  // namespace

HylaFaxClient::HylaFaxClient(ServerSettings settings) : m_settings(std::move(settings)) {}

HylaFaxClient::~HylaFaxClient()
{
    if (m_socket)
        m_socket->abort();
}

bool HylaFaxClient::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void HylaFaxClient::fail(LineError::Kind kind, const QString &what)
{
    // After a cut or a reply that made no sense the session is in an unknown state: the
    // next call starts a new one.
    if (kind != LineError::Kind::Rejected && kind != LineError::Kind::Refused && m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    if (kind == LineError::Kind::Unreachable)
        throw LineError(kind, QStringLiteral("fax server %1 unreachable: %2").arg(m_settings.name(), what));
    throw LineError(kind, what);
}

void HylaFaxClient::open()
{
    if (isOpen())
        return;
    m_socket = std::make_unique<QTcpSocket>();
    m_reader = {};
    m_socket->connectToHost(m_settings.host, m_settings.port);
    const QDeadlineTimer deadline(m_settings.timeoutMs);
    while (!m_socket->waitForConnected(slice(deadline))) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState || deadline.hasExpired())
            fail(LineError::Kind::Unreachable, m_socket->error() == QAbstractSocket::UnknownSocketError
                                                   ? QStringLiteral("no connection within %1 s").arg(m_settings.timeoutMs / 1000)
                                                   : m_socket->errorString());
        if (stopping())
            fail(LineError::Kind::Unreachable, QStringLiteral("the service is stopping"));
    }
    const Reply greeting = readReply();
    if (!greeting.completed())
        fail(LineError::Kind::Unreachable, QStringLiteral("the server refused the session: %1 %2").arg(greeting.code).arg(greeting.text()));
    Reply login = command(QStringLiteral("USER ") + m_settings.user);
    if (login.needsMore()) {
        QString error;
        const std::optional<QString> password = m_settings.password ? m_settings.password(error) : std::nullopt;
        if (!password) {
            close();
            throw LineError(LineError::Kind::Refused, QStringLiteral("fax server %1 asks for the password of %2, and there is none: %3")
                                                           .arg(m_settings.name(), m_settings.user,
                                                                error.isEmpty() ? QStringLiteral("no entry in the credentials file") : error));
        }
        login = command(QStringLiteral("PASS ") + *password);
    }
    if (!login.completed()) {
        close();
        throw LineError(LineError::Kind::Refused, QStringLiteral("fax server %1 refused the login of %2: %3")
                                                       .arg(m_settings.name(), m_settings.user, login.text()));
    }
    // Dates in GMT, binary transfers of TIFF images, and the list formats this client reads.
    // A session without them is of no use: it ends, and the next call tries a new one.
    try {
        for (const QString &setting : {QStringLiteral("TZONE GMT"), QStringLiteral("TYPE I"), QStringLiteral("FORM TIFF"),
                                       QStringLiteral("JOBFMT ") + quoted(JobFormat), QStringLiteral("RCVFMT ") + quoted(ReceivedFormat),
                                       QStringLiteral("MDMFMT ") + quoted(ModemFormat)})
            expectOk(setting);
    } catch (const LineError &e) {
        close();
        throw LineError(e.kind() == LineError::Kind::Rejected ? LineError::Kind::Refused : e.kind(),
                        QStringLiteral("fax server %1 refused the session's settings: %2").arg(m_settings.name(), e.text()));
    }
}

void HylaFaxClient::close()
{
    if (!m_socket)
        return;
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write("QUIT\r\n");
        m_socket->waitForBytesWritten(1000);
        m_socket->disconnectFromHost();
    }
    m_socket->abort();
    m_socket.reset();
}

void HylaFaxClient::send(const QString &line)
{
    if (!isOpen())
        fail(LineError::Kind::Unreachable, QStringLiteral("the connection is closed"));
    m_socket->write(line.toUtf8() + "\r\n");
    if (!m_socket->waitForBytesWritten(m_settings.timeoutMs) && m_socket->bytesToWrite() > 0)
        fail(LineError::Kind::Unreachable, m_socket->errorString());
}

Reply HylaFaxClient::readReply()
{
    const QDeadlineTimer deadline(m_settings.timeoutMs);
    while (true) {
        while (m_socket->canReadLine()) {
            const QByteArray line = m_socket->readLine(MaxLineLength).chopped(1);
            try {
                if (m_reader.addLine(line))
                    return m_reader.take();
            } catch (const LineError &e) {
                fail(LineError::Kind::Malformed, e.text());
            }
        }
        if (m_socket->bytesAvailable() > MaxLineLength)
            fail(LineError::Kind::Malformed, QStringLiteral("the fax server sent a line longer than %1 bytes").arg(MaxLineLength));
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            fail(LineError::Kind::Unreachable, QStringLiteral("the connection was cut"));
        if (deadline.hasExpired())
            fail(LineError::Kind::Unreachable, QStringLiteral("no answer within %1 s").arg(m_settings.timeoutMs / 1000));
        if (stopping())
            fail(LineError::Kind::Unreachable, QStringLiteral("the service is stopping"));
        if (!m_socket->waitForReadyRead(slice(deadline)) && m_socket->state() != QAbstractSocket::ConnectedState
            && !m_socket->canReadLine())
            fail(LineError::Kind::Unreachable, QStringLiteral("the connection was cut"));
    }
}

Reply HylaFaxClient::command(const QString &line)
{
    send(line);
    return readReply();
}

Reply HylaFaxClient::expectOk(const QString &line)
{
    const Reply reply = command(line);
    if (!reply.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("%1: %2 %3").arg(line.section(u' ', 0, 0)).arg(reply.code).arg(reply.text()));
    return reply;
}

void HylaFaxClient::becomeAdmin()
{
    QString error;
    const std::optional<QString> password = m_settings.adminPassword ? m_settings.adminPassword(error) : std::nullopt;
    if (!password || password->isEmpty())
        throw LineError(LineError::Kind::Rejected,
                        QStringLiteral("fax server %1 lets only its administrator answer a call, and there is no admin password "
                                       "(the account of machine %2 in the credentials file): %3")
                            .arg(m_settings.name(), m_settings.host,
                                 error.isEmpty() ? QStringLiteral("no account in the credentials file") : error));
    const Reply reply = command(QStringLiteral("ADMIN ") + *password);
    if (!reply.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("fax server %1 refused the admin password: %2 %3")
                                                       .arg(m_settings.name())
                                                       .arg(reply.code)
                                                       .arg(reply.text()));
}

std::unique_ptr<QTcpSocket> HylaFaxClient::openData()
{
    const Reply passive = command(QStringLiteral("PASV"));
    if (!passive.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("PASV: %1 %2").arg(passive.code).arg(passive.text()));
    quint16 port = 0;
    try {
        port = passivePort(passive);
    } catch (const LineError &e) {
        fail(LineError::Kind::Malformed, e.text());
    }
    // The data connection goes to the host of the session (a server behind an address
    // translation names an address of its own network).
    auto data = std::make_unique<QTcpSocket>();
    data->connectToHost(m_socket->peerAddress(), port);
    const QDeadlineTimer deadline(m_settings.timeoutMs);
    while (!data->waitForConnected(slice(deadline)))
        if (data->state() == QAbstractSocket::UnconnectedState || deadline.hasExpired() || stopping())
            fail(LineError::Kind::Unreachable, QStringLiteral("data connection: %1").arg(data->errorString()));
    return data;
}

Reply HylaFaxClient::finishData(std::unique_ptr<QTcpSocket> data, const Reply &start)
{
    data->abort();
    if (!start.preliminary() && !start.completed())
        return start;
    if (start.completed())
        return start;
    return readReply();
}

QString HylaFaxClient::upload(const QString &localPath)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        throw LineError(LineError::Kind::Rejected, QStringLiteral("%1: %2").arg(localPath, file.errorString()));
    std::unique_ptr<QTcpSocket> data = openData();
    const Reply start = command(QStringLiteral("STOT"));
    if (!start.preliminary())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("STOT: %1 %2").arg(start.code).arg(start.text()));
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(1 << 16);
        data->write(chunk);
        const QDeadlineTimer deadline(m_settings.timeoutMs);
        while (data->bytesToWrite() > 0)
            if (!data->waitForBytesWritten(slice(deadline))
                && (data->state() != QAbstractSocket::ConnectedState || deadline.hasExpired() || stopping()))
                fail(LineError::Kind::Unreachable, QStringLiteral("upload of %1: %2").arg(localPath, data->errorString()));
    }
    data->disconnectFromHost();
    if (data->state() != QAbstractSocket::UnconnectedState)
        data->waitForDisconnected(m_settings.timeoutMs);
    const Reply end = readReply();
    if (!end.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("STOT: %1 %2").arg(end.code).arg(end.text()));
    try {
        return uploadedFile(start);
    } catch (const LineError &) {
        return uploadedFile(end);
    }
}

QByteArray HylaFaxClient::list(const QString &directory)
{
    std::unique_ptr<QTcpSocket> data = openData();
    const Reply start = command(QStringLiteral("LIST ") + directory);
    if (!start.preliminary() && !start.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("LIST %1: %2 %3").arg(directory).arg(start.code).arg(start.text()));
    QByteArray text;
    const QDeadlineTimer deadline(m_settings.timeoutMs);
    while (data->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired() && !stopping()) {
        data->waitForReadyRead(slice(deadline));
        text += data->readAll();
    }
    text += data->readAll();
    if (data->state() == QAbstractSocket::ConnectedState)
        fail(LineError::Kind::Unreachable, QStringLiteral("LIST %1: no end of the list within %2 s").arg(directory).arg(m_settings.timeoutMs / 1000));
    const Reply end = finishData(std::move(data), start);
    if (!end.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("LIST %1: %2 %3").arg(directory).arg(end.code).arg(end.text()));
    return text;
}

void HylaFaxClient::retrieve(const QString &serverPath, const QString &localPath)
{
    std::unique_ptr<QTcpSocket> data = openData();
    const Reply start = command(QStringLiteral("RETR ") + serverPath);
    if (!start.preliminary())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("RETR %1: %2 %3").arg(serverPath).arg(start.code).arg(start.text()));
    QSaveFile out(localPath);
    if (!out.open(QIODevice::WriteOnly))
        throw LineError(LineError::Kind::Rejected, QStringLiteral("%1: %2").arg(localPath, out.errorString()));
    const QDeadlineTimer deadline(std::max(m_settings.timeoutMs * 4, 60000));
    while (data->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired() && !stopping()) {
        data->waitForReadyRead(slice(deadline));
        out.write(data->readAll());
    }
    out.write(data->readAll());
    if (data->state() == QAbstractSocket::ConnectedState)
        fail(LineError::Kind::Unreachable, QStringLiteral("RETR %1: the transfer did not end in time").arg(serverPath));
    const Reply end = finishData(std::move(data), start);
    if (!end.completed())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("RETR %1: %2 %3").arg(serverPath).arg(end.code).arg(end.text()));
    if (!out.commit())
        throw LineError(LineError::Kind::Rejected, QStringLiteral("%1: %2").arg(localPath, out.errorString()));
}

QString HylaFaxClient::submit(const NewJob &job)
{
    const QString id = [&] {
        try {
            return newJobId(expectOk(QStringLiteral("JNEW")));
        } catch (const LineError &e) {
            if (e.kind() == LineError::Kind::Malformed)
                fail(LineError::Kind::Malformed, e.text());
            throw;
        }
    }();
    try {
        // The server keeps the client's tag for a job as its JOBINFO (listed as %J).
        expectOk(QStringLiteral("JPARM JOBINFO ") + quoted(job.tag));
        for (const auto &[name, value] : job.parameters)
            expectOk(QStringLiteral("JPARM %1 %2").arg(name, quoted(value)));
        expectOk(QStringLiteral("JPARM DOCUMENT ") + job.document);
        expectOk(QStringLiteral("JSUBM"));
    } catch (const LineError &e) {
        // A job the server refused is not left half made in the session.
        if (e.kind() == LineError::Kind::Rejected && isOpen())
            command(QStringLiteral("JDELE ") + id);
        throw;
    }
    return id;
}

}  // namespace sendmere::faxd::hylafax

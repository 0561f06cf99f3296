#pragma once
// A plain IMAP conversation with a test's server, to see what it holds as another mail client
// would: folders by their special-use attributes, messages whole with their flags. Folders are
// opened with EXAMINE and bodies fetched with BODY.PEEK, so that looking sets no flag.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>

#include <optional>

namespace sendmere::mailtest {

using namespace Qt::StringLiterals;

struct ImapMessage {
    quint32 uid = 0;
    QStringList flags;  // sorted, without \Recent, which depends on who looked first
    QByteArray bytes;
};

class ImapReader {
public:
    // login: "USER PASSWORD" as LOGIN takes them.
    ImapReader(quint16 port, const QByteArray &login) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_ok = m_socket.waitForConnected(5000) && readLine() && command("LOGIN " + login) == "OK";
    }
    bool ok() const { return m_ok; }

    // The tagged answer's status word ("OK", "NO", "BAD"), the untagged answers before it
    // (literals, read by their length, included) in *untagged; empty when the connection failed.
    QByteArray command(const QByteArray &line, QByteArray *untagged = nullptr) {
        const QByteArray tag = 'r' + QByteArray::number(++m_tags);
        m_socket.write(tag + ' ' + line + "\r\n");
        QByteArray got;
        static const QRegularExpression literal(u"\\{(\\d+)\\}\\r\\n$"_s);
        while (const std::optional<QByteArray> next = readLine()) {
            if (next->startsWith(tag + ' ')) {
                if (untagged) *untagged = got;
                return next->mid(tag.size() + 1).split(' ').value(0).trimmed();
            }
            got += *next;
            if (const QRegularExpressionMatch m = literal.match(QString::fromLatin1(*next)); m.hasMatch()) {
                const std::optional<QByteArray> bytes = read(m.captured(1).toLongLong());
                if (!bytes) return {};
                got += *bytes;
            }
        }
        return {};
    }

    // The name of the folder with this special-use attribute ("\\Sent"), empty when none has it.
    QString specialUse(const QString &attribute) {
        QByteArray listed;
        if (command(R"(LIST "" "*" RETURN (SPECIAL-USE))", &listed) != "OK") return {};
        const QRegularExpression folder(u"\\* LIST \\([^)]*%1\\b[^)]*\\) \"[^\"]*\" \"?([^\"\\r\\n]+)\"?"_s.arg(QRegularExpression::escape(attribute)),
                                        QRegularExpression::CaseInsensitiveOption);
        return folder.match(QString::fromUtf8(listed)).captured(1);
    }

    // Every message of the folder, in UID order; nothing when the folder cannot be read.
    std::optional<QList<ImapMessage>> messages(const QString &folder) {
        QByteArray answer;
        if (command("EXAMINE \"" + folder.toUtf8() + '"') != "OK" || command("UID FETCH 1:* (UID FLAGS BODY.PEEK[])", &answer) != "OK")
            return std::nullopt;
        const QString text = QString::fromLatin1(answer);  // one character per byte: literal lengths count in the text
        static const QRegularExpression fetch(u"\\* \\d+ FETCH \\(([^\\r\\n]*?)BODY\\[\\] \\{(\\d+)\\}\\r\\n"_s);
        static const QRegularExpression uid(u"UID (\\d+)"_s), flags(u"FLAGS \\(([^)]*)\\)"_s);
        QList<ImapMessage> found;
        for (auto it = fetch.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const qsizetype size = m.captured(2).toLongLong(), bodyEnd = m.capturedEnd() + size;
            // UID and FLAGS may come before or after the body.
            const QString fields = m.captured(1) + text.mid(bodyEnd, text.indexOf(u'\n', bodyEnd) - bodyEnd);
            ImapMessage message{uid.match(fields).captured(1).toUInt(), flags.match(fields).captured(1).split(u' ', Qt::SkipEmptyParts),
                                answer.mid(m.capturedEnd(), size)};
            message.flags.removeAll(u"\\Recent"_s);
            message.flags.sort();
            found << message;
        }
        return found;
    }

private:
    std::optional<QByteArray> readLine() {
        while (!m_buffer.contains("\r\n"))
            if (!fill()) return std::nullopt;
        return take(m_buffer.indexOf("\r\n") + 2);
    }
    std::optional<QByteArray> read(qsizetype size) {
        while (m_buffer.size() < size)
            if (!fill()) return std::nullopt;
        return take(size);
    }
    QByteArray take(qsizetype size) {
        const QByteArray bytes = m_buffer.left(size);
        m_buffer.remove(0, size);
        return bytes;
    }
    bool fill() {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(10000)) return false;
        m_buffer += m_socket.readAll();
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
    int m_tags = 0;
    bool m_ok = false;
};

}  // namespace sendmere::mailtest

#pragma once
// The text side of the HylaFAX client protocol: replies in the style of FTP (a three-digit
// code, "123-" on every line but the last of a multi-line reply), and the lines of the
// server's job, received-fax and modem lists in the formats this client asks for.
#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>

namespace sendmere::faxd::hylafax {

// Why a talk with the server failed. Unreachable: no connection (or it was cut); Refused: the
// server (or the credentials file) did not let this client log in; Rejected: the server
// answered a request with an error; Malformed: the server's answer made no sense.
class LineError : public std::runtime_error {
public:
    enum class Kind { Unreachable, Refused, Rejected, Malformed };
    LineError(Kind kind, const QString &text) : std::runtime_error(text.toStdString()), m_kind(kind) {}
    Kind kind() const { return m_kind; }
    QString text() const { return QString::fromStdString(what()); }

private:
    Kind m_kind;
};

struct Reply {
    int code = 0;
    QStringList lines;  // the text of each line, without its code
    QString text() const { return lines.join(u' ').simplified(); }
    bool preliminary() const { return code >= 100 && code < 200; }
    bool completed() const { return code >= 200 && code < 300; }
    bool needsMore() const { return code >= 300 && code < 400; }
};

// Gathers the lines of one reply. Lines of a multi-line reply that do not start with the
// code belong to it as they are; the reply ends with the line "CODE text".
class ReplyReader {
public:
    // line without its CR LF; true once the reply is complete. Raises LineError (Malformed)
    // for a line that cannot start a reply.
    bool addLine(const QByteArray &line);
    Reply take();  // the completed reply; the reader starts anew

private:
    Reply m_reply;
    bool m_open = false;  // inside a multi-line reply
};

// "227 Entering Passive Mode (127,0,0,1,4,1)" → port 1025; raises LineError (Malformed).
quint16 passivePort(const Reply &reply);
// The server's name for an uploaded file: "FILE: /tmp/doc12.tif" in the STOT replies.
QString uploadedFile(const Reply &reply);
// The job id in "200 New job created: jobid: 12 groupid: 12."
QString newJobId(const Reply &reply);

// Quoted for a JPARM or JOBFMT argument; quotes and control characters are dropped.
QString quoted(const QString &value);

// The fields this client lists for jobs (sendq, doneq), received faxes (recvq) and modems
// (status), separated by '|'; the free texts come last so that a '|' in them does no harm.
extern const QString JobFormat;
extern const QString ReceivedFormat;
extern const QString ModemFormat;

struct ServerJob {
    QString id;
    QChar state;  // P pending, S sleeping, B blocked, W waiting, R running, D done, F failed, T suspended, ? unknown
    int pagesSent = 0, pagesTotal = 0;
    int tries = 0, maxTries = 0;
    int dials = 0, maxDials = 0;
    QString modem;
    QString tag;
    QString status;  // the reason of the last failure
    bool finished() const { return state == u'D' || state == u'F'; }
};

struct ReceivedFax {
    QString file;  // relative to recvq
    int pages = 0;
    bool receiving = false;
    int seconds = 0;  // time spent receiving
    QString sender;   // the sender's TSI
    QString error;
};

struct Modem {
    QString name;
    bool running = false;  // its faxgetty runs
    QString number, localId;
    QString status;
};

std::optional<ServerJob> parseJob(const QString &line);
std::optional<ReceivedFax> parseReceived(const QString &line);
std::optional<Modem> parseModem(const QString &line);

// Splits a list's text into lines and parses each; the lines that make no sense are counted.
template <typename Item, typename Parse>
QList<Item> parseList(const QByteArray &text, Parse parse, int &bad)
{
    QList<Item> items;
    for (const QString &line : QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts)) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (auto item = parse(trimmed))
            items.append(*item);
        else
            ++bad;
    }
    return items;
}

}  // namespace sendmere::faxd::hylafax

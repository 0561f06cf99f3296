#include "HylaFaxProtocol.h"

#include <QRegularExpression>

namespace sendmere::faxd::hylafax {

const QString JobFormat = QStringLiteral("%j|%a|%P|%T|%D|%m|%J|%s");
const QString ReceivedFormat = QStringLiteral("%f|%p|%z|%h|%s|%e");
const QString ModemFormat = QStringLiteral("%m|%z|%n|%l|%s");

namespace {

LineError malformed(const QString &what, const QString &text)
{
    return LineError(LineError::Kind::Malformed, QStringLiteral("the fax server sent %1: \"%2\"").arg(what, text.left(200)));
}

bool isCode(const QByteArray &line)
{
    return line.size() >= 3 && std::isdigit(uchar(line[0])) && std::isdigit(uchar(line[1])) && std::isdigit(uchar(line[2]))
           && line[0] >= '1' && line[0] <= '5';
}

// "3:5" (as the server writes it) or "3/5" → 3 and 5; a missing half is 0.
bool fraction(const QString &text, int &done, int &total)
{
    const QStringList parts = text.trimmed().split(text.contains(u':') ? u':' : u'/');
    if (parts.size() > 2)
        return false;
    bool ok = true, ok2 = true;
    done = parts.value(0).trimmed().isEmpty() ? 0 : parts.value(0).trimmed().toInt(&ok);
    total = parts.size() < 2 || parts.value(1).trimmed().isEmpty() ? 0 : parts.value(1).trimmed().toInt(&ok2);
    return ok && ok2;
}

// "00:01:05" → 65
int duration(const QString &text)
{
    int seconds = 0;
    for (const QString &part : text.trimmed().split(u':'))
        seconds = seconds * 60 + part.toInt();
    return seconds;
}

}  // namespace

bool ReplyReader::addLine(const QByteArray &raw)
{
    QByteArray line = raw;
    while (line.endsWith('\r'))
        line.chop(1);
    if (m_open) {
        // The last line repeats the code followed by a space (or nothing but the code).
        if (isCode(line) && line.left(3).toInt() == m_reply.code && (line.size() == 3 || line[3] == ' ')) {
            m_reply.lines.append(QString::fromUtf8(line.mid(4)));
            m_open = false;
            return true;
        }
        m_reply.lines.append(QString::fromUtf8(isCode(line) && line.left(3).toInt() == m_reply.code && line.size() > 3 && line[3] == '-'
                                                   ? line.mid(4)
                                                   : line));
        return false;
    }
    if (!isCode(line) || (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
        throw malformed(QStringLiteral("a line that is no reply"), QString::fromUtf8(line));
    m_reply = Reply{line.left(3).toInt(), {QString::fromUtf8(line.mid(4))}};
    m_open = line.size() > 3 && line[3] == '-';
    return !m_open;
}

Reply ReplyReader::take()
{
    Reply reply = std::move(m_reply);
    m_reply = {};
    m_open = false;
    return reply;
}

quint16 passivePort(const Reply &reply)
{
    static const QRegularExpression address(QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
    const QRegularExpressionMatch m = address.match(reply.text());
    if (reply.code != 227 || !m.hasMatch())
        throw malformed(QStringLiteral("no passive address"), QStringLiteral("%1 %2").arg(reply.code).arg(reply.text()));
    const int high = m.captured(5).toInt(), low = m.captured(6).toInt();
    if (high > 255 || low > 255 || high * 256 + low == 0)
        throw malformed(QStringLiteral("a passive port out of range"), reply.text());
    return quint16(high * 256 + low);
}

QString uploadedFile(const Reply &reply)
{
    static const QRegularExpression file(QStringLiteral("FILE:\\s*(\\S+?)[).,]*(\\s|$)"));
    const QRegularExpressionMatch m = file.match(reply.text());
    if (!m.hasMatch())
        throw malformed(QStringLiteral("no file name for the upload"), reply.text());
    return m.captured(1);
}

QString newJobId(const Reply &reply)
{
    static const QRegularExpression job(QStringLiteral("jobid:\\s*(\\d+)"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = job.match(reply.text());
    if (!reply.completed() || !m.hasMatch())
        throw malformed(QStringLiteral("no job id for the new job"), reply.text());
    return m.captured(1);
}

QString quoted(const QString &value)
{
    QString clean;
    clean.reserve(value.size());
    for (const QChar c : value)
        if (c != u'"' && c != u'\\' && c.unicode() >= 0x20 && c.unicode() != 0x7f)
            clean.append(c);
    return u'"' + clean + u'"';
}

std::optional<ServerJob> parseJob(const QString &line)
{
    const QStringList f = line.split(u'|');
    if (f.size() < 8)
        return std::nullopt;
    ServerJob job;
    job.id = f[0].trimmed();
    bool numeric = false;
    job.id.toLongLong(&numeric);
    const QString state = f[1].trimmed();
    if (!numeric || state.size() != 1)
        return std::nullopt;
    job.state = state[0];
    if (!fraction(f[2], job.pagesSent, job.pagesTotal) || !fraction(f[3], job.tries, job.maxTries)
        || !fraction(f[4], job.dials, job.maxDials))
        return std::nullopt;
    job.modem = f[5].trimmed();
    job.tag = f[6].trimmed();
    job.status = f.mid(7).join(u'|').trimmed();
    return job;
}

std::optional<ReceivedFax> parseReceived(const QString &line)
{
    const QStringList f = line.split(u'|');
    if (f.size() < 6)
        return std::nullopt;
    ReceivedFax fax;
    fax.file = f[0].trimmed();
    bool ok = false;
    fax.pages = f[1].trimmed().toInt(&ok);
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9._-]+$"));
    if (!ok || fax.pages < 0 || !name.match(fax.file).hasMatch() || fax.file.startsWith(u'.'))
        return std::nullopt;
    fax.receiving = f[2].trimmed() == u'*';
    fax.seconds = duration(f[3]);
    fax.sender = f[4].trimmed();
    fax.error = f.mid(5).join(u'|').trimmed();
    return fax;
}

std::optional<Modem> parseModem(const QString &line)
{
    const QStringList f = line.split(u'|');
    if (f.size() < 5 || f[0].trimmed().isEmpty())
        return std::nullopt;
    return Modem{f[0].trimmed(), f[1].trimmed() == u'*', f[2].trimmed(), f[3].trimmed(), f.mid(4).join(u'|').trimmed()};
}

}  // namespace sendmere::faxd::hylafax

#include "OutgoingFax.h"

#include "FaxBusApi.h"
#include "FaxRender.h"
#include "FaxdConfig.h"

#include <algorithm>

namespace sendmere::faxd {

OutgoingFax OutgoingFax::fromJob(const JobRecord &job, const QString &tiffPath, const FaxdConfig &config)
{
    OutgoingFax fax;
    fax.id = job.idText();
    fax.tag = job.lineTag;
    fax.tiffPath = tiffPath;
    fax.dialString = job.recipient.faxNumber.trimmed();
    fax.recipientName = job.recipient.name;
    fax.recipientCompany = job.recipient.company;
    fax.senderName = job.sender.name;
    fax.subject = job.subject;
    fax.priority = job.priority;
    fax.sendTime = faxbus::fromWire(job.scheduledTime);
    fax.maxTries = config.retries + 1;
    fax.maxDials = config.line.maxDials > 0 ? config.line.maxDials : config.retries + 1;
    fax.retrySeconds = int(std::clamp(config.retryIntervalSeconds, 0.0, 86400.0));
    return fax;
}

QList<std::pair<QString, QString>> jobParameters(const OutgoingFax &fax, const QDateTime &now)
{
    QList<std::pair<QString, QString>> p;
    p.append({QStringLiteral("NOTIFY"), QStringLiteral("none")});
    p.append({QStringLiteral("DIALSTRING"), fax.dialString});
    if (!fax.recipientName.isEmpty())
        p.append({QStringLiteral("TOUSER"), fax.recipientName});
    if (!fax.recipientCompany.isEmpty())
        p.append({QStringLiteral("TOCOMPANY"), fax.recipientCompany});
    if (!fax.senderName.isEmpty())
        p.append({QStringLiteral("FROMUSER"), fax.senderName});
    if (!fax.subject.isEmpty())
        p.append({QStringLiteral("REGARDING"), fax.subject});
    // The server runs a job with a lower number first; 127 is its normal.
    const int priority = fax.priority >= 2 ? 63 : fax.priority <= 0 ? 191 : 127;
    p.append({QStringLiteral("SCHEDPRI"), QString::number(priority)});
    // The document is drawn at fine resolution. A job left at the server's default (98 lines)
    // has every page redrawn by the server's own converter before it dials: coarser, and slow
    // enough under load to hold the modem for minutes.
    p.append({QStringLiteral("VRES"), QString::number(qRound(render::FaxDpiY))});
    // The discount period is Sendmere's: it is in the job's scheduled time already. The
    // server takes whole minutes, so a later time is rounded up.
    qint64 waitSeconds = 0;
    if (fax.sendTime.isValid() && fax.sendTime > now.addSecs(30)) {
        QDateTime at = fax.sendTime.toUTC();
        if (at.time().second() > 0 || at.time().msec() > 0)
            at = at.addSecs(60 - at.time().second()).addMSecs(-at.time().msec());
        waitSeconds = now.secsTo(at);
        p.append({QStringLiteral("SENDTIME"), at.toString(QStringLiteral("yyyyMMddHHmm"))});
    } else {
        p.append({QStringLiteral("SENDTIME"), QStringLiteral("NOW")});
    }
    // The server gives up on a job this long (days, hours, minutes) after it was submitted:
    // three hours past its send time. It must be said: the server's default is not applied
    // to a job made over the protocol.
    const qint64 killMinutes = std::min<qint64>((waitSeconds + 3 * 3600) / 60 + 1, 99LL * 24 * 60 + 23 * 60 + 59);
    p.append({QStringLiteral("LASTTIME"), QStringLiteral("%1%2%3").arg(killMinutes / 1440, 2, 10, QLatin1Char('0'))
                                              .arg(killMinutes / 60 % 24, 2, 10, QLatin1Char('0')).arg(killMinutes % 60, 2, 10, QLatin1Char('0'))});
    p.append({QStringLiteral("MAXTRIES"), QString::number(std::max(1, fax.maxTries))});
    p.append({QStringLiteral("MAXDIALS"), QString::number(std::max(1, fax.maxDials))});
    // Minutes and seconds between tries, at most 99:59.
    const int retry = std::clamp(fax.retrySeconds, 0, 99 * 60 + 59);
    p.append({QStringLiteral("RETRYTIME"), QStringLiteral("%1%2").arg(retry / 60, 2, 10, QLatin1Char('0')).arg(retry % 60, 2, 10, QLatin1Char('0'))});
    return p;
}

}  // namespace sendmere::faxd

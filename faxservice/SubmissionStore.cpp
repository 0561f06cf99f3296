#include "SubmissionStore.h"

#include "FaxComposer.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <algorithm>
#include <unistd.h>

namespace sendmere::faxd {

namespace {

const QString RecordName = QStringLiteral("submission.json");
constexpr int MaxSuffixLength = 16;

// The copy keeps the body's suffix: it tells the body's kind where the content does not.
QString bodyFileName(const QString &clientPath)
{
    const QString suffix = QFileInfo(clientPath).suffix();
    return suffix.isEmpty() || suffix.size() > MaxSuffixLength ? QStringLiteral("body") : QStringLiteral("body.") + suffix;
}

void copyDurably(const QString &from, const QString &to)
{
    QFile source(from);
    if (!source.copy(to))
        throw SpoolError(QStringLiteral("cannot copy %1 into the spool: %2").arg(from, source.errorString()));
    QFile copy(to);
    if (!copy.open(QIODevice::ReadOnly) || ::fsync(copy.handle()) != 0 || copy.size() != QFileInfo(from).size())
        throw SpoolError(QStringLiteral("cannot copy %1 into the spool: the copy is incomplete (is the disk full?)").arg(from));
}

}  // namespace

SubmissionStore::SubmissionStore(QString directory, QString quarantine, const ServiceLog &log)
    : m_directory(std::move(directory)), m_quarantine(std::move(quarantine)), m_log(log)
{
}

QString SubmissionStore::folder(const QString &key) const { return m_directory + u'/' + key; }

void SubmissionStore::accept(PendingSubmission &submission) const
{
    const QString dir = folder(submission.key);
    try {
        if (!QDir().mkpath(dir))
            throw SpoolError(QStringLiteral("cannot create the folder %1").arg(dir));
        if (!submission.clientBody.isEmpty()) {
            submission.body = dir + u'/' + bodyFileName(submission.clientBody);
            copyDurably(submission.clientBody, submission.body);
        }
        writeRecord(submission);
    } catch (const SpoolError &) {
        remove(submission.key);
        throw;
    }
}

void SubmissionStore::update(const PendingSubmission &submission) const { writeRecord(submission); }

void SubmissionStore::writeRecord(const PendingSubmission &s) const
{
    QVariantList jobs;
    for (const JobRecord &job : s.jobs)
        jobs.append(job.toProperties());
    const QVariantMap record{{QStringLiteral("SubmissionId"), s.submissionId}, {QStringLiteral("Document"), s.submission.toDocument()},
                             {QStringLiteral("Cover"), s.cover},               {QStringLiteral("Body"), QFileInfo(s.body).fileName()},
                             {QStringLiteral("ClientBody"), s.clientBody},     {QStringLiteral("Jobs"), jobs},
                             {QStringLiteral("Renders"), s.renders}};
    const QByteArray json = propertiesToJson(record);
    QSaveFile file(folder(s.key) + u'/' + RecordName);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit())
        throw SpoolError(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

void SubmissionStore::remove(const QString &key) const
{
    if (!key.isEmpty())
        QDir(folder(key)).removeRecursively();
}

QList<PendingSubmission> SubmissionStore::load() const
{
    QList<PendingSubmission> pending;
    const QStringList keys = QDir(m_directory).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &key : keys) {
        QFile file(folder(key) + u'/' + RecordName);
        const auto record = file.open(QIODevice::ReadOnly) ? propertiesFromJson(file.readAll()) : std::optional<QVariantMap>();
        if (!file.exists()) {
            m_log.info(QStringLiteral("submission %1: removed, it was never accepted").arg(key));
            remove(key);
            continue;
        }
        const QVariantMap r = record.value_or(QVariantMap());
        PendingSubmission s;
        s.key = key;
        s.submissionId = r.value(QStringLiteral("SubmissionId")).toString();
        // The document was checked when it was accepted; one that no longer reads is damaged.
        bool readable = record.has_value();
        try {
            s.submission = Submission::fromBus(r.value(QStringLiteral("Document")).toMap());
        } catch (const ServiceError &) {
            readable = false;
        }
        s.cover = r.value(QStringLiteral("Cover")).toString();
        const QString body = r.value(QStringLiteral("Body")).toString();
        s.body = body.isEmpty() ? QString() : folder(key) + u'/' + body;
        s.clientBody = r.value(QStringLiteral("ClientBody")).toString();
        for (const QVariant &job : r.value(QStringLiteral("Jobs")).toList())
            s.jobs.append(JobRecord::fromProperties(job.toMap()));
        s.renders = r.value(QStringLiteral("Renders")).toInt();
        if (!readable || s.jobs.isEmpty() || s.submissionId.isEmpty()) {
            const QString to = m_quarantine + QStringLiteral("/submission-") + key;
            const bool moved = !QFileInfo::exists(to) && QDir().rename(folder(key), to);
            m_log.warning(QStringLiteral("submission %1: its record cannot be used; %2").arg(key, moved ? QStringLiteral("kept in quarantine as ") + to : QStringLiteral("it stays")));
            continue;
        }
        pending.append(s);
    }
    // Keys are the first job ids: by them, the oldest submission comes first.
    std::sort(pending.begin(), pending.end(), [](const PendingSubmission &a, const PendingSubmission &b) {
        return idNumber(a.key) < idNumber(b.key);
    });
    return pending;
}

}  // namespace sendmere::faxd

#pragma once
// Submissions the service has accepted but not queued yet: each one is a folder in the
// spool's submissions/ folder, named after its first job id, with its record and its own copy
// of the body. A client is answered once the folder is complete; a service that stops before
// the jobs are queued renders the submission again at its next start, under the same ids.
#include "JobRecord.h"
#include "Submission.h"

#include <QList>
#include <QString>

namespace sendmere::faxd {

class ServiceLog;

struct PendingSubmission {
    QString key;            // the folder's name
    QString submissionId;   // the client's, or one the service gave it
    Submission submission;  // as the client sent it
    QString cover;          // the cover page template; empty: none
    QString body;           // the copy in the spool; empty: cover page only
    QString clientBody;     // the client's path, named in errors
    QList<JobRecord> jobs;  // one per recipient, with the ids reserved for them
    // Services that took it on; one that ended without a clean stop (a crash, a stuck render)
    // keeps its count.
    int renders = 0;
};

class SubmissionStore {
public:
    SubmissionStore(QString directory, QString quarantine, const ServiceLog &log);

    // Copies the body into the submission's folder and writes its record; the submission
    // counts once this returns. Raises SpoolError (nothing is left behind then).
    void accept(PendingSubmission &submission) const;
    // Writes the record again (its render count changed); raises SpoolError.
    void update(const PendingSubmission &submission) const;
    void remove(const QString &key) const;
    // The accepted submissions, oldest first. A folder without a record is the leftover of
    // an accept that never answered, and goes; one whose record cannot be used goes to the
    // quarantine folder.
    QList<PendingSubmission> load() const;

private:
    QString folder(const QString &key) const;
    void writeRecord(const PendingSubmission &submission) const;

    QString m_directory;
    QString m_quarantine;
    const ServiceLog &m_log;
};

}  // namespace sendmere::faxd

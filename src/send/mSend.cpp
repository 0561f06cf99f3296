#include "send/mSend.h"

#include "bridge/cFaxEvent.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "send/CoverPageDirectories.h"
#include "session/mCommon.h"

#include <QFile>
#include <QFileInfo>

namespace sendmere::mSend {
namespace {

AutomationError fileNotFound() { return {err::FileNotFound, QStringLiteral("File not found")}; }
AutomationError permissionDenied() { return {err::PermissionDenied, QStringLiteral("Permission denied")}; }

// The part of path after its last separator; the whole path when it has none.
QString fileNamePart(const QString &path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }

bool sameFile(const QString &a, const QString &b) {
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

// Copies source to target, replacing a file of that name.
void copyOverwriting(const QString &source, const QString &target) {
    if (!QFileInfo(source).isFile()) throw fileNotFound();
    if (QFileInfo::exists(target) && !QFile::remove(target)) throw permissionDenied();
    if (!QFile::copy(source, target)) throw permissionDenied();
}

// A sender property is set only from a field that holds something, so that empty fields
// leave the service's own defaults alone.
void setWhenNotEmpty(QString &property, const QString &field) {
    if (!field.isEmpty()) property = field;
}

void fillSender(fax::FaxPersonInfo &sender, const FaxJob &job) {
    setWhenNotEmpty(sender.BillingCode, job.SenderBillingCode);
    setWhenNotEmpty(sender.Company, job.SenderCompany);
    setWhenNotEmpty(sender.Department, job.SenderDepartment);
    setWhenNotEmpty(sender.Email, job.SenderEmail);
    setWhenNotEmpty(sender.FaxNumber, job.SenderfaxNumber);
    setWhenNotEmpty(sender.HomePhone, job.SenderHomePhone);
    setWhenNotEmpty(sender.Name, job.SenderFullName);
    setWhenNotEmpty(sender.OfficeLocation, job.SenderOffice);
    setWhenNotEmpty(sender.OfficePhone, job.SenderWorkPhone);
    setWhenNotEmpty(sender.StreetAddress, job.SenderAddress);
    setWhenNotEmpty(sender.Title, job.SenderTitle);
}

// The body: a rendered preview already holds the cover page; otherwise a copy of the first
// attachment in the temporary directory, so the original may change or go meanwhile.
void fillBody(fax::FaxDocument &doc, FaxJob &job) {
    if (!job.PreviewFile.isEmpty()) {
        doc.CoverPageType = fax::CoverPageNone;
        doc.Body = job.PreviewFile;
        return;
    }
    if (job.UseCoverPage == VbFalse) doc.CoverPageType = fax::CoverPageNone;
    if (job.Attachments.upperBound() > 0) {
        doc.AttachFaxToReceipt = true;
        const QString attachment = job.Attachments(1);
        const QString copy = mCommon::GetTempDir() + QFileInfo(attachment).fileName();
        if (sameFile(attachment, copy)) {
            // The document already lies where its copy would go: it is sent as it is, and
            // there is no copy for the removal after the submission to delete.
            job.TempBodyFile.clear();
            doc.Body = attachment;
            return;
        }
        job.TempBodyFile = copy;
        copyOverwriting(attachment, job.TempBodyFile);
        doc.Body = job.TempBodyFile;
    }
}

}  // namespace

void GenerateFax() {
    logFailures(QStringLiteral("msend.GenerateFax"), [] {
        FaxJob &job = faxJob();
        if (!job.FaxDoc) throw AutomationError::objectNotSet();
        fax::FaxDocument &doc = *job.FaxDoc;
        doc.DocumentName = job.FaxName;
        doc.Note = job.Note;
        doc.Priority = job.FaxPriority;
        for (int i = 1; i <= job.RecipientName.upperBound(); ++i)
            doc.Recipients.Add(job.RecipientNumber(i), job.RecipientName(i));
        doc.ScheduleTime = job.DTFaxSend;
        doc.ScheduleType = job.FaxSchedule;
        const QString coverPage = job.CoverPages(job.CoverIndex + 1);
        doc.CoverPageType = IsServerCoverPage(coverPage) ? fax::CoverPageServer : fax::CoverPageLocal;
        doc.CoverPage = fileNamePart(coverPage);
        fillBody(doc, job);
        fillSender(doc.Sender, job);
        doc.Subject = job.FaxSubject;
    });
}

void PrepareFax() {
    faxJob().FaxDoc = std::make_shared<fax::FaxDocument>();
    GenerateFax();
}

void SubmitFax() {
    FaxJob &job = faxJob();
    PrepareFax();
    fax::FaxServer *server = mCommon::GetFaxServer();
    if (!server) throw AutomationError::objectNotSet();
    job.FaxDoc->ConnectedSubmit(*server);
    RemovePreviewFile();
}

void PreviewFax() {
    logFailures(QStringLiteral("msend.PreviewFax"), [] {
        FaxJob &job = faxJob();
        if (!job.PreviewFile.isEmpty()) return;
        // The earlier sink goes first: its end unloads the hidden poll page, which the new
        // sink then loads again, so the poll keeps running.
        job.PreviewSink.reset();
        job.PreviewSink = std::make_shared<cFaxEvent>();
        job.PreviewSink->Init();
        SubmitFax();
    });
}

void RemovePreviewFile() {
    logFailures(QStringLiteral("msend.RemovePreviewFile"), [] {
        const QFileInfo body(faxJob().TempBodyFile);
        if (faxJob().TempBodyFile.isEmpty() || !body.isFile()) throw fileNotFound();
        // A read-only copy is left alone rather than forced away.
        if (!body.isWritable() || !QFile::remove(body.filePath())) throw permissionDenied();
    });
}

}  // namespace sendmere::mSend

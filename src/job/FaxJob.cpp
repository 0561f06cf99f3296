#include "job/FaxJob.h"

#include "platform/fax/FaxClient.h"

namespace sendmere {

FaxJob &faxJob() {
    static FaxJob job;
    return job;
}

void ResetFaxJob() {
    FaxJob &job = faxJob();
    job.FaxSubject.clear();
    job.FaxPriority = 1;
    job.FaxSchedule = 0;
    job.DTFaxSend = QDateTime::currentDateTime();
    job.Attachments.reset();
    job.Note.clear();
    job.FaxName.clear();
    job.CoverIndex = 0;
    job.RecipientName.reset();
    job.RecipientNumber.reset();
    job.PreviewFile.clear();
    job.CoverPages.reset();
}

}  // namespace sendmere

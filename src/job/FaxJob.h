#pragma once
// The one fax job of the process: the wizard pages fill it one after the other, the
// submission and the preview read it.
#include "job/IndexedList.h"

#include <QDateTime>
#include <QString>
#include <memory>

namespace sendmere {
namespace fax { class FaxDocument; }
class cFaxEvent;

constexpr qint16 VbTrue = -1;  // flags are 16-bit: all bits set is true
constexpr qint16 VbFalse = 0;

struct FaxJob {
    QString TempDir;  // ends with the path separator
    std::shared_ptr<fax::FaxDocument> FaxDoc;
    QString FaxSubject;
    qint32 FaxPriority = 0;
    qint32 FaxSchedule = 0;
    QDateTime DTFaxSend;
    IndexedList<QString> Attachments;
    QString Note;
    QString FaxName;
    qint16 CoverIndex = 0;
    qint16 UseCoverPage = VbFalse;
    IndexedList<QString> RecipientName;
    IndexedList<QString> RecipientNumber;
    QString SenderAddress;
    QString SenderBillingCode;
    QString SenderCompany;
    QString SenderDepartment;
    QString SenderEmail;
    QString SenderfaxNumber;
    QString SenderFullName;
    QString SenderHomePhone;
    QString SenderTitle;
    QString SenderOffice;
    QString SenderWorkPhone;
    QString PreviewFile;
    IndexedList<QString> CoverPages;
    qint16 PreviewMode = VbFalse;
    QString TempBodyFile;
    std::shared_ptr<cFaxEvent> PreviewSink;
};

// The process-wide record.
FaxJob &faxJob();

// Starts a new fax: subject, note, schedule, priority, time, lists and preview file go back
// to their fresh values; sender fields, the cover page flag and the objects stay.
void ResetFaxJob();

}  // namespace sendmere

#include "send/mRender.h"

#include "FaxRender.h"

#include <QDateTime>

namespace sendmere::mRender {
namespace {

// Half the fax resolution is sharp enough for any thumbnail and quick to draw.
constexpr QSize PageSize{render::FaxPageWidth / 2, render::FaxPageHeight / 2};

render::CoverPageFields sampleFields() {
    render::CoverPageFields f;
    f.recipientName = QStringLiteral("RecName");
    f.recipientFaxNumber = QStringLiteral("12354");
    f.recipientCompany = QStringLiteral("RecCompany");
    f.recipientStreetAddress = QStringLiteral("Address");
    f.recipientCity = QStringLiteral("RecCity");
    f.recipientState = QStringLiteral("RecState");
    f.recipientZip = QStringLiteral("RecZip");
    f.recipientCountry = QStringLiteral("RecCountry");
    f.recipientTitle = QStringLiteral("RecTitle");
    f.recipientDepartment = QStringLiteral("RecDepartment");
    f.recipientOfficeLocation = QStringLiteral("Office");
    f.recipientHomePhone = QStringLiteral("1234");
    f.recipientOfficePhone = QStringLiteral("234");
    f.senderName = QStringLiteral("Sender");
    f.senderFaxNumber = QStringLiteral("9876");
    f.senderCompany = QStringLiteral("Company");
    f.senderAddress = QStringLiteral("Address");
    f.senderTitle = QStringLiteral("Title");
    f.senderDepartment = QStringLiteral("Dep");
    f.senderOfficeLocation = QStringLiteral("2");
    f.senderHomePhone = QStringLiteral("234");
    f.senderOfficePhone = QStringLiteral("567");
    f.senderEmail = QStringLiteral("sender@example.com");
    f.senderBillingCode = QStringLiteral("1234");
    f.note = QStringLiteral("Note");
    f.subject = QStringLiteral("Subject");
    f.timeSent = QDateTime::currentDateTimeUtc();
    f.pageCount = 2;
    return f;
}

}  // namespace

QImage RenderCoverPage(const QString &templatePath) {
    return render::drawCoverPage(templatePath, sampleFields(), PageSize);
}

}  // namespace sendmere::mRender

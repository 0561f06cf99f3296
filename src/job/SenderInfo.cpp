#include "job/SenderInfo.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "services/CWinReg.h"

#include <array>
#include <utility>

namespace sendmere {
namespace {

const QString UserInfoKey = QStringLiteral("Software\\Microsoft\\Fax\\UserInfo");

// Value names and fields, in the order both operations visit them.
using SenderField = QString FaxJob::*;
const std::array<std::pair<const char *, SenderField>, 11> SenderValues{{
    {"Address", &FaxJob::SenderAddress},
    {"BillingCode", &FaxJob::SenderBillingCode},
    {"Company", &FaxJob::SenderCompany},
    {"Department", &FaxJob::SenderDepartment},
    {"MailBox", &FaxJob::SenderEmail},
    {"FaxNumber", &FaxJob::SenderfaxNumber},
    {"FullName", &FaxJob::SenderFullName},
    {"HomePhone", &FaxJob::SenderHomePhone},
    {"Title", &FaxJob::SenderTitle},
    {"Office", &FaxJob::SenderOffice},
    {"OfficePhone", &FaxJob::SenderWorkPhone},
}};

}  // namespace

void GetSenderInfo() {
    logFailures(QStringLiteral("mCommon.GetSenderInfo"), [] {
        CWinReg reg;
        if (!reg.OpenKey(reg.HKEY_CURRENT_USER(), UserInfoKey, true)) return;
        FaxJob &job = faxJob();
        for (const auto &[name, field] : SenderValues) job.*field = reg.GetStringValue(QLatin1String(name));
        reg.CloseKey();
    });
}

void SetSenderInfo() {
    logFailures(QStringLiteral("mCommon.SetSenderInfo"), [] {
        CWinReg reg;
        if (!reg.OpenKey(reg.HKEY_CURRENT_USER(), UserInfoKey, true)) return;
        const FaxJob &job = faxJob();
        for (const auto &[name, field] : SenderValues) reg.SetStringValue(QLatin1String(name), job.*field);
        reg.CloseKey();
    });
}

}  // namespace sendmere

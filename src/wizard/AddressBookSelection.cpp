#include "wizard/AddressBookSelection.h"

#include "platform/Failures.h"
#include "platform/mail/Contacts.h"
#include "platform/shell/Shell.h"
#include "session/mCommon.h"
#include "wizard/AddressBookDialog.h"
#include "wizard/frmNew.h"

#include <QLineEdit>

namespace sendmere {
namespace {

// The address book window's title and the label of its choice button.
QString title() { return frmNew::tr("AddressBook"); }
QString choiceLabel() { return frmNew::tr("Choice"); }

// A fax entry's address is "name@number": the number is what follows the first '@'.
QString afterFirstAt(const QString &address) {
    const qsizetype at = address.indexOf(QLatin1Char('@'));
    return at < 0 ? address : address.mid(at + 1);
}

// Every failing read below is skipped and remembered, as the messaging layers' automation
// calls are; the last failure decides what the user sees and what is logged.
class Selection {
public:
    explicit Selection(frmNew &page) : m_page(page) {}

    void run() {
        if (!mail::addressBookSeams().dialog) mail::addressBookSeams().dialog = std::make_unique<AddressBookChooser>();
        if (!m_steps.step([&] { m_utils = mail::createMapiUtils(); })) {
            m_steps.clear();
            m_session = mCommon::GetCdoSession();
            if (!m_session) shell::seams().messageBox->show(&m_page, frmNew::tr("Please install CDO."), frmNew::tr("Error"));
        }
        std::optional<std::vector<mail::AddressEntry>> chosen;
        m_steps.step([&] { chosen = showAddressBook(); });
        if (m_utils && !m_steps.failed() && !chosen) return;  // the library gives nothing back: end silently
        if ((!m_steps.failed() || m_steps.number() == err::TypeMismatch) && chosen) {
            for (const mail::AddressEntry &entry : *chosen) addEntry(entry);
            if (m_steps.number() == err::AddressAccessRefused)
                shell::seams().messageBox->show(
                    &m_page,
                    frmNew::tr("Outlook cannot return a name, because you clicked No on the e-mail address access "
                               "dialog. You need to try again and click Yes this time."),
                    frmNew::tr("E-mail Address Access"));
        }
        m_utils.reset();
        m_steps.logAndClear(QStringLiteral("frmNew.cmdAddress"));
    }

private:
    std::optional<std::vector<mail::AddressEntry>> showAddressBook() {
        if (m_utils) return m_utils->AddressBook(title(), 1, choiceLabel());
        if (!m_session) throw AutomationError::objectNotSet();
        return m_session->AddressBook(title(), 1, choiceLabel());
    }

    // Through the messaging session the mail client guards the addresses it hands out.
    QString address(const QString &value) const { return m_utils ? value : mail::guardedAddress(value); }

    void addEntry(const mail::AddressEntry &entry) {
        QLineEdit *to = m_page.txtTo;
        QLineEdit *number = m_page.txtFaxNumber;
        m_steps.step([&] { to->setText(entry.EntryName); });
        if (entry.Name.contains(QStringLiteral("Fax"))) {
            m_steps.step([&] { number->setText(afterFirstAt(address(entry.Address))); });
        } else if (m_utils) {
            // The contact's business fax replaces whatever the box held; the others are tried
            // only while it is empty.
            m_steps.step([&] { number->setText(m_utils->HrGetOneProp(entry, mail::PR_BUSINESS_FAX_NUMBER).toString()); });
            for (quint32 tag : {mail::PR_HOME_FAX_NUMBER, mail::PR_PRIMARY_FAX_NUMBER}) {
                if (!number->text().isEmpty()) break;
                m_steps.step([&] { number->setText(m_utils->HrGetOneProp(entry, tag).toString()); });
            }
        } else {
            m_steps.step([&] { number->setText(afterFirstAt(address(entry.EntryAddress))); });
            m_steps.step([&] {
                const QString field10 = mail::entryField(entry, 10);
                const QString field11 = mail::entryField(entry, 11);
                if (!field10.isEmpty()) number->setText(field10);
                else if (!field11.isEmpty()) number->setText(field11);
            });
        }
        if (!number->text().isEmpty() && (m_utils || number->text() != QStringLiteral("SMTP"))) m_page.cmdAdd_Click();
    }

    frmNew &m_page;
    ResumeNext m_steps;
    std::unique_ptr<mail::MapiUtils> m_utils;
    mail::MessagingSession *m_session = nullptr;
};

}  // namespace

void SelectFromAddressBook(frmNew &page) { Selection(page).run(); }

}  // namespace sendmere

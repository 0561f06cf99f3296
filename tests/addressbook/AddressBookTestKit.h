#pragma once
// What the address book tests share: contact cards in the contacts folder, the recipients
// page, and acting on the modal address book window once it is up.
#include "TestSupport.h"
#include "job/FaxJob.h"
#include "platform/mail/Contacts.h"
#include "wizard/AddressBookDialog.h"
#include "wizard/frmNew.h"
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <functional>

namespace sendmere::test {

inline void writeCard(const QString &file, const QByteArray &card) { writeFile(mail::contactsFolder() + u'/' + file, card); }

// Runs action on the address book window once it is shown modally (and, when asked, has the keyboard focus).
inline void whenAddressBookShown(std::function<void(AddressBookWindow &)> action, bool active = false) {
    auto *poll = new QTimer(qApp);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, action, active] {
        auto *window = qobject_cast<AddressBookWindow *>(QApplication::activeModalWidget());
        if (!window || !window->isVisible() || (active && !window->isActiveWindow())) return;
        poll->stop();
        poll->deleteLater();
        action(*window);
    });
    poll->start();
}

// A fresh job's recipients page, shown.
inline frmNew &shownRecipientsPage() {
    ResetFaxJob();
    frmNew &page = sendmere::page<frmNew>();
    page.showPage();
    return page;
}

// The recipients list as "name|number" rows.
inline QStringList recipientRows(const frmNew &page) {
    QStringList list;
    for (int i = 0; i < page.lvRecipients->topLevelItemCount(); ++i)
        list << page.lvRecipients->topLevelItem(i)->text(0) + u'|' + page.lvRecipients->topLevelItem(i)->text(1);
    return list;
}

}  // namespace sendmere::test

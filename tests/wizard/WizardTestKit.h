#pragma once
// What the wizard tests share: waiting for pages, the cover page directories the registry names, documents to attach, and a fax service
// that keeps its jobs queued.
#include "TestSupport.h"
#include "job/FaxJob.h"
#include "services/CWinReg.h"
#include "services/FormPage.h"
#include "wizard/frmSender.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <QPdfWriter>
#include <QSettings>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QtTest>
#include <functional>

namespace sendmere::test {

inline const QString ShellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
inline const QString FaxSetup = QStringLiteral("Software\\Microsoft\\Fax\\Setup");

inline void setRegistryString(quint32 root, const QString &key, const QString &name, const QString &value) {
    CWinReg reg;
    QVERIFY(reg.OpenKey(root, key, true) && reg.SetStringValue(name, value));
}

// Points the registry at <base>/server and <base>/personal and creates both.
inline void useCoverPageDirectories(const QString &base) {
    setRegistryString(CWinReg::HKEY_LOCAL_MACHINE(), ShellFolders, QStringLiteral("Common AppData"), base);
    setRegistryString(CWinReg::HKEY_LOCAL_MACHINE(), FaxSetup, QStringLiteral("ServerCoverPageDir"), QStringLiteral("server"));
    setRegistryString(CWinReg::HKEY_CURRENT_USER(), ShellFolders, QStringLiteral("Personal"), base);
    setRegistryString(CWinReg::HKEY_CURRENT_USER(), FaxSetup, QStringLiteral("CoverPageDir"), QStringLiteral("personal"));
    QDir().mkpath(base + QStringLiteral("/server"));
    QDir().mkpath(base + QStringLiteral("/personal"));
}

inline QString coverBase() { return QDir::tempPath() + QStringLiteral("/covers"); }

// A fresh job whose recipients are names[i] at numbers[i].
inline void setRecipients(const QStringList &names, const QStringList &numbers) {
    ResetFaxJob();
    FaxJob &job = faxJob();
    job.RecipientName.redim(int(names.size()));
    job.RecipientNumber.redim(int(names.size()));
    for (int i = 1; i <= names.size(); ++i) {
        job.RecipientName(i) = names[i - 1];
        job.RecipientNumber(i) = numbers[i - 1];
    }
}

// Shows the page without waiting, as the wizard's own buttons do.
template <typename T>
T &shownPage() {
    T &page = sendmere::page<T>();
    page.showPage();
    return page;
}

// A cover page template drawing a few fields.
inline QByteArray coverTemplate(const QString &title) {
    return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='216' height='279' viewBox='0 0 216 279'>"
                          "<rect width='216' height='279' fill='white'/><text x='10' y='20' font-size='12'>%1</text>"
                          "<text x='10' y='40' font-size='8'>To: {RecipientName} {RecipientFaxNumber}</text>"
                          "<text x='10' y='55' font-size='8'>From: {SenderName}</text>"
                          "<text x='10' y='70' font-size='8'>{Subject}</text>"
                          "<text x='10' y='85' font-size='8'>Pages: {PageCount}</text></svg>")
        .arg(title)
        .toUtf8();
}

inline void writePdf(const QString &path, int pages) {
    QPdfWriter writer(path);
    QPainter painter(&writer);
    for (int page = 1; page <= pages; ++page) {
        if (page > 1) writer.newPage();
        painter.drawText(200, 400, QStringLiteral("Report page %1").arg(page));
    }
}

// The fax service holds its jobs back (the discount period hours ahead, an hour to answer); before the service starts.
inline void holdFaxJobsBack() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
    QDir().mkpath(dir);
    QSettings conf(dir + QStringLiteral("/faxd.conf"), QSettings::IniFormat);
    const QTime now = QTime::currentTime();
    conf.setValue(QStringLiteral("Schedule/DiscountStart"), now.addSecs(2 * 3600).toString(QStringLiteral("HH:mm")));
    conf.setValue(QStringLiteral("Schedule/DiscountEnd"), now.addSecs(3 * 3600).toString(QStringLiteral("HH:mm")));
    conf.setValue(QStringLiteral("Transmission/DialDelaySeconds"), 3600);
}

inline void waitForPageGone(PageId id) {
    QTRY_VERIFY(pageSlot(id).isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline void releaseAllPages() {
    releasePages();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Another program's window comes and goes, then another page of the program: only the second is an activation.
inline void activateFromOutsideThenFromAnotherPage(FormPage &page, const std::function<void()> &betweenTheTwo) {
    QWidget outsider;
    outsider.show();
    outsider.activateWindow();
    QTRY_VERIFY(outsider.isActiveWindow());
    page.activateWindow();
    QTRY_VERIFY(page.isActiveWindow());
    betweenTheTwo();
    frmSender &other = shownPage<frmSender>();
    QTRY_VERIFY(other.isActiveWindow());
    other.unload();
    QTRY_VERIFY(page.isActiveWindow());
}

inline QStringList comboTexts(const QComboBox *combo) {
    QStringList texts;
    for (int i = 0; combo && i < combo->count(); ++i) texts << combo->itemText(i);
    return texts;
}

inline QStringList column(const QTreeWidget *list, int col) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(col);
    return texts;
}

// Clicks on a check box's own mark (a wide box ignores a click beyond its text).
inline void click(QCheckBox *box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); }

inline QStringList jobList(const IndexedList<QString> &list) {
    QStringList entries;
    for (int i = 1; i <= list.upperBound(); ++i) entries << list(i);
    return entries;
}

// Whether the error log holds one record per entry of starts, in turn, beginning with it (or, quoted, containing it).
inline bool logged(const QStringList &starts) {
    const QStringList lines = errorLogLines();
    bool same = lines.size() == starts.size();
    for (qsizetype i = 0; same && i < lines.size(); ++i)
        same = lines[i].startsWith(starts[i]) || (starts[i].startsWith(u'"') && lines[i].contains(starts[i]));
    if (!same) qWarning("the error log holds:\n%s", qPrintable(lines.join(u'\n')));
    return same;
}

}  // namespace sendmere::test

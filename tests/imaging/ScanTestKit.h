#pragma once
// What the scanning tests share: the scanner library's "test" backend set up in a private
// configuration folder, and a hand on the acquisition dialogs as they open.
#include "RegistryStore.h"
#include "TestSupport.h"
#include "platform/imaging/AcquisitionDialog.h"
#include "services/FormPage.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

namespace sendmere::scantest {

// The library reads its configuration when it starts: call these while no imaging object lives.
inline void writeScanConfig(const QByteArray &backends, const QByteArray &testConf = {}) {
    const QString dir = QDir::tempPath() + QStringLiteral("/sane.d");
    test::writeFile(dir + QStringLiteral("/dll.conf"), backends);
    test::writeFile(dir + QStringLiteral("/test.conf"), testConf);
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(dir));
}

// settings are lines of the backend's test.conf ("mode Color", "test-picture Grid"). Without
// devices no backend is named: the test backend itself fails on none. Its built-in resolution
// is a fraction of a dot per inch; 50 (as Debian's configuration) unless a setting says otherwise.
inline void useTestScanners(int devices, const QStringList &settings = {}) {
    writeScanConfig(devices > 0 ? "test\n" : "",
                    QStringLiteral("number_of_devices %1\nresolution 50\n%2\n").arg(devices).arg(settings.join(u'\n')).toUtf8());
}

// A scanner that starts and then sends nothing (StallBackend.cpp), the only device found.
inline void useStallScanner() {
    writeScanConfig("stall\n");
    qputenv("LD_LIBRARY_PATH", QByteArray(SANE_STALL_DIR) + ':' + qgetenv("LD_LIBRARY_PATH"));
}

// How long a scan may go without an answer, in seconds (the program's registry value).
inline void setScanTimeout(quint32 seconds) {
    registry::RegistryStore store;
    const QString key = QStringLiteral("Software\\Sendmere");
    QVERIFY(store.createKey(registry::Root::CurrentUser, key));
    QVERIFY(store.setValue(registry::Root::CurrentUser, key, QStringLiteral("ScanTimeout"), registry::RegValue::number(seconds)));
}

// A scan slow enough to be stopped half way: many small reads, each followed by a pause.
inline const QStringList SlowScan = {QStringLiteral("resolution 300"), QStringLiteral("read-limit true"),
                                     QStringLiteral("read-limit-size 4096"), QStringLiteral("read-delay true"),
                                     QStringLiteral("read-delay-duration 50000")};

using DialogAction = std::function<void(imaging::AcquisitionDialog &)>;

// Runs one action on each acquisition dialog that opens, in turn; a dialog beyond the actions
// is cancelled, so that no test hangs on it.
class DialogDriver : public QObject {
public:
    explicit DialogDriver(QList<DialogAction> actions) : m_actions(std::move(actions)) {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto *dialog = qobject_cast<imaging::AcquisitionDialog *>(QApplication::activeModalWidget());
            if (!dialog || dialog == m_last) return;
            m_last = dialog;
            const DialogAction action = m_handled < m_actions.size() ? m_actions[m_handled] : DialogAction(cancel);
            ++m_handled;
            action(*dialog);
        });
        m_poll.start(10);
    }
    int handled() const { return m_handled; }
    // Clicks that do not depend on where the button is drawn: under load a dialog can be the
    // active modal one before its layout has placed the buttons.
    static void scan(imaging::AcquisitionDialog &d) { d.cmdScan->click(); }
    static void cancel(imaging::AcquisitionDialog &d) { d.cmdCancel->click(); }

private:
    QList<DialogAction> m_actions;
    QTimer m_poll;
    QPointer<imaging::AcquisitionDialog> m_last;
    int m_handled = 0;
};

// Runs action once on the page T, as soon as it exists and is the active window.
template <typename T>
void whenActive(QObject &owner, std::function<void(T &)> action) {
    auto *poll = new QTimer(&owner);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        T *page = existingPage<T>();
        if (!page || !page->isVisible() || !page->isActiveWindow()) return;
        poll->stop();
        action(*page);
    });
    poll->start(10);
}

inline QStringList tempFiles(const QString &pattern, QDir::SortFlags sort = QDir::Name) {
    return QDir::temp().entryList({pattern}, QDir::Files, sort);
}

inline void removeScans() {
    for (const QString &name : tempFiles(QStringLiteral("Fax*"))) QFile::remove(QDir::temp().filePath(name));
}

// The classes root as the registry editor writes it (UTF-16LE with a byte order mark), with one key.
inline QString writeClassesRoot(const QString &key) {
    const QString file = registry::RegistryStore().filePath(registry::Root::ClassesRoot);
    test::writeFile(file, test::utf16WithBom(QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\%1]\r\n").arg(key)));
    return file;
}

// The backend's "Grid" picture: black and white squares of 10 mm; neighbours differ, squares
// two apart agree.
inline bool looksLikeGrid(const QImage &image, double dpi) {
    const int square = qRound(10 / 25.4 * dpi), inset = square / 4;
    auto ink = [&](int x, int y) { return qGray(image.pixel(x, y)) < 128; };
    return ink(inset, inset) != ink(square + inset, inset) && ink(inset, inset) == ink(2 * square + inset, inset) &&
           ink(inset, inset) != ink(inset, square + inset);
}

}  // namespace sendmere::scantest

#pragma once
// What the scanning tests share: the scanner library's "test" backend set up in a private
// configuration folder, and a hand on the acquisition dialogs as they open.
#include "RegistryStore.h"
#include "TestSupport.h"
#include "platform/imaging/AcquisitionDialog.h"
#include "services/FormPage.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

namespace sendmere::scantest {

inline QString configDir() { return QDir::tempPath() + QStringLiteral("/sane.d"); }

// The library reads its configuration when it starts: call this while no imaging object
// lives. settings are lines of the backend's test.conf ("mode Color", "test-picture Grid").
inline void useTestScanners(int devices, const QStringList &settings = {}) {
    QDir().mkpath(configDir());
    QFile dll(configDir() + QStringLiteral("/dll.conf"));
    QVERIFY(dll.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // Without devices no backend is named at all: the test backend itself fails on none.
    if (devices > 0) dll.write("test\n");
    QFile conf(configDir() + QStringLiteral("/test.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
    conf.write(QStringLiteral("number_of_devices %1\n").arg(devices).toUtf8());
    // The backend's built-in resolution is a fraction of a dot per inch; Debian's own
    // configuration sets 50, and so do these tests unless a setting says otherwise.
    conf.write("resolution 50\n");
    for (const QString &line : settings) conf.write(line.toUtf8() + '\n');
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(configDir()));
}

// A scanner that starts and then sends nothing (tests/imaging/StallBackend.cpp): the only
// device the library finds. Call it while no imaging object lives.
inline void useStallScanner() {
    QDir().mkpath(configDir());
    QFile dll(configDir() + QStringLiteral("/dll.conf"));
    QVERIFY(dll.open(QIODevice::WriteOnly | QIODevice::Truncate));
    dll.write("stall\n");
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(configDir()));
    qputenv("LD_LIBRARY_PATH", QByteArray(SANE_STALL_DIR) + ':' + qgetenv("LD_LIBRARY_PATH"));
}

// How long a scan may go without an answer, in seconds (the program's registry value).
inline void setScanTimeout(quint32 seconds) {
    registry::RegistryStore store;
    QVERIFY(store.createKey(registry::Root::CurrentUser, QStringLiteral("Software\\Sendmere")));
    QVERIFY(store.setValue(registry::Root::CurrentUser, QStringLiteral("Software\\Sendmere"), QStringLiteral("ScanTimeout"),
                           registry::RegValue::number(seconds)));
}

// A scan slow enough to be stopped half way: many small reads, each followed by a pause.
inline const QStringList SlowScan = {QStringLiteral("resolution 300"), QStringLiteral("read-limit true"),
                                     QStringLiteral("read-limit-size 4096"), QStringLiteral("read-delay true"),
                                     QStringLiteral("read-delay-duration 50000")};

using DialogAction = std::function<void(imaging::AcquisitionDialog &)>;

// Runs one action on each acquisition dialog that opens, in turn; a dialog beyond the
// actions is cancelled, so that no test hangs on it.
class DialogDriver : public QObject {
public:
    explicit DialogDriver(QList<DialogAction> actions) : m_actions(std::move(actions)) {
        connect(&m_poll, &QTimer::timeout, this, &DialogDriver::poll);
        m_poll.start(10);
    }
    int handled() const { return m_handled; }

    // A click that does not depend on where the button is drawn: under load a dialog can be
    // the active modal one before its layout has placed the buttons.
    static void scan(imaging::AcquisitionDialog &d) { d.cmdScan->click(); }
    static void cancel(imaging::AcquisitionDialog &d) { d.cmdCancel->click(); }

private:
    void poll() {
        auto *dialog = qobject_cast<imaging::AcquisitionDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_last) return;
        m_last = dialog;
        const DialogAction action = m_handled < m_actions.size() ? m_actions[m_handled] : DialogAction(cancel);
        ++m_handled;
        action(*dialog);
    }
    QList<DialogAction> m_actions;
    QTimer m_poll;
    QPointer<imaging::AcquisitionDialog> m_last;
    int m_handled = 0;
};

// Runs action once on the page T, as soon as it exists and is the active window.
template <typename T>
void whenActive(QObject &owner, std::function<void(T &)> action) {
    auto *poll = new QTimer(&owner);  // owned by owner
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

// A registry file as the registry editor writes it: UTF-16LE with a byte order mark.
inline void writeRegFile(const QString &path, const QString &text) { test::writeFile(path, test::utf16WithBom(text)); }

// The backend's "Grid" picture: black and white squares of 10 mm.
inline bool looksLikeGrid(const QImage &image, double dpi) {
    const int square = qRound(10 / 25.4 * dpi);
    auto ink = [&](int x, int y) { return qGray(image.pixel(x, y)) < 128; };
    const int inset = square / 4;
    // Neighbouring squares differ; squares two apart agree.
    return ink(inset, inset) != ink(square + inset, inset) && ink(inset, inset) == ink(2 * square + inset, inset) &&
           ink(inset, inset) != ink(inset, square + inset);
}

}  // namespace sendmere::scantest

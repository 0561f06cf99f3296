#pragma once
// The scanner library's "test" backend in a private configuration, and hands on dialogs and pages.
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

// settings are test.conf lines; no backend is named without devices; 50 dpi as Debian's unless set.
inline void useTestScanners(int devices, const QStringList &settings = {}) {
    writeScanConfig(devices > 0 ? "test\n" : "",
                    QStringLiteral("number_of_devices %1\nresolution 50\n%2\n").arg(devices).arg(settings.join(u'\n')).toUtf8());
}

// A scan slow enough to be stopped half way: many small reads, each followed by a pause.
inline const QStringList SlowScan = {QStringLiteral("resolution 300"), QStringLiteral("read-limit true"),
                                     QStringLiteral("read-limit-size 4096"), QStringLiteral("read-delay true"),
                                     QStringLiteral("read-delay-duration 50000")};

using DialogAction = std::function<void(imaging::AcquisitionDialog &)>;

// Runs one action on each acquisition dialog that opens, in turn; one beyond them is cancelled.
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
    // Clicks independent of layout: under load a dialog can be active before its buttons are placed.
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

// The backend's "Grid": squares of 10 mm; neighbours differ, squares two apart agree.
inline bool looksLikeGrid(const QImage &image, double dpi) {
    const int square = qRound(10 / 25.4 * dpi), inset = square / 4;
    auto ink = [&](int x, int y) { return qGray(image.pixel(x, y)) < 128; };
    return ink(inset, inset) != ink(square + inset, inset) && ink(inset, inset) == ink(2 * square + inset, inset) &&
           ink(inset, inset) != ink(inset, square + inset);
}

}  // namespace sendmere::scantest

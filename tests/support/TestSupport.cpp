#include "TestSupport.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QStringEncoder>
#include <QTextEdit>

#if defined(__SANITIZE_ADDRESS__)
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>
#endif

namespace sendmere::test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// Qt's own threads end only as the process ends: the bus connection's thread in Qt's exit
// handlers, the test watchdog as the test run returns. Each releases Qt's data of it in its
// last moments, in a thread-exit handler that may run after the leak checker has stopped
// looking at that thread; a check that comes just then reports the data as lost. Registered
// before any thread starts, this handler runs after Qt's and before the leak check, and gives
// the other threads up to 2 s to end.
int threadCount() {
    DIR *tasks = ::opendir("/proc/self/task");
    if (!tasks) return 1;
    int count = 0;
    while (const dirent *entry = ::readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(tasks);
    return count;
}

void waitForOtherThreadsToEnd() {
    for (int waited = 0; waited < 1000 && threadCount() > 1; ++waited) ::usleep(2000);
}

[[maybe_unused]] const bool threadsAwaitedAtExit = (std::atexit(waitForOtherThreadsToEnd), true);
#endif

QString errorLogPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log"); }

}  // namespace

QStringList errorLogLines() {
    QFile file(errorLogPath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

void clearErrorLog() { QFile::remove(errorLogPath()); }

QString binDir() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR"); }

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray utf16WithBom(const QString &text) {
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

QStringList unnamedControls(QWidget &window) {
    QStringList unnamed;
    for (QWidget *control : window.findChildren<QWidget *>()) {
        const bool operable = qobject_cast<QAbstractButton *>(control) || qobject_cast<QLineEdit *>(control) ||
                              qobject_cast<QTextEdit *>(control) || qobject_cast<QComboBox *>(control) ||
                              qobject_cast<QAbstractItemView *>(control) || qobject_cast<QAbstractSpinBox *>(control);
        // A list's own header and scroll parts are reached through the list.
        QWidget *parent = control->parentWidget();
        const bool partOfAList = qobject_cast<QAbstractItemView *>(parent) ||
                                 (parent && qobject_cast<QAbstractItemView *>(parent->parentWidget()));
        if (!operable || partOfAList || control->objectName().startsWith(QLatin1String("qt_"))) continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << control->objectName() + u'(' + QLatin1String(control->metaObject()->className()) + u')';
    }
    return unnamed;
}

}  // namespace sendmere::test

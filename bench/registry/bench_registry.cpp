// Registry store costs: a locked, re-read, atomically saved write; a cached read; a read
// through a new store that parses the file; the desktop-answered values.
#include "RegistryStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

using namespace sendmere::registry;

namespace {

template <class Operation>
double microsecondsPerCall(int calls, Operation operation) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i) operation(i);
    return double(timer.nsecsElapsed()) / calls / 1000.0;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    RegistryStore store(dir.path());
    const QString key = QStringLiteral("Software\\Microsoft\\Fax\\UserInfo");
    const auto name = [](int i) { return QStringLiteral("V%1").arg(i % 200); };
    const double write = microsecondsPerCall(500, [&](int i) {
        store.setValue(Root::CurrentUser, key, name(i), RegValue::number(quint32(i)));
    });
    const double cached = microsecondsPerCall(100000, [&](int i) { (void)store.value(Root::CurrentUser, key, name(i)); });
    const double fresh = microsecondsPerCall(2000, [&](int i) {
        RegistryStore other(dir.path());
        (void)other.value(Root::CurrentUser, key, name(i));
    });
    const double tiff = microsecondsPerCall(2000, [&](int) { (void)store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()); });
    std::printf("file with 200 values: %lld bytes\n", qint64(QFileInfo(store.filePath(Root::CurrentUser)).size()));
    std::printf("write (lock, re-read, atomic save): %8.1f us\n", write);
    std::printf("read, cached:                       %8.2f us\n", cached);
    std::printf("read, new store parsing the file:   %8.1f us\n", fresh);
    std::printf("read, desktop .tiff association:    %8.1f us\n", tiff);

    // Big files: the cost per byte must stay flat as a key grows to 100,000 values.
    for (const int count : {1000, 10000, 100000}) {
        QTemporaryDir bigDir;
        RegistryStore big(bigDir.path());
        const QString bigKey = QStringLiteral("Software\\Big");
        {
            QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Big]\r\n");
            for (int n = 0; n < count; ++n)
                text += QStringLiteral("\"Value%1\"=dword:%2\r\n").arg(n).arg(n, 8, 16, QChar(u'0'));
            QFile file(big.filePath(Root::CurrentUser));
            file.open(QIODevice::WriteOnly);
            file.write(text.toUtf8());
        }
        const qint64 bytes = QFileInfo(big.filePath(Root::CurrentUser)).size();
        const double read = microsecondsPerCall(3, [&](int) {
            RegistryStore other(bigDir.path());
            (void)other.value(Root::CurrentUser, bigKey, QStringLiteral("Value1"));
        });
        const double bigWrite = microsecondsPerCall(5, [&](int i) {
            big.setValue(Root::CurrentUser, bigKey, QStringLiteral("Value%1").arg(i), RegValue::number(7));
        });
        std::printf("%6d values (%8lld bytes): first read %9.0f us, write %9.0f us (%.3f us/byte)\n", count, bytes, read,
                    bigWrite, bigWrite / double(bytes));
    }
}

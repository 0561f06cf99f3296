#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>

namespace sendmere::test {
namespace {

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

}  // namespace sendmere::test

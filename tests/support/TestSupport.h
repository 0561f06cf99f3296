#pragma once
// Helpers the tests share.
#include "platform/AutomationError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringEncoder>
#include <QStringList>

class QWidget;

namespace sendmere::test {

// A program run to its end: its exit code (-1 when it crashed or ran past timeoutMs) and output.
struct ProgramRun {
    int code = -1;
    QString out, err;
};

inline ProgramRun runProgram(const QString &program, const QStringList &args,
                             const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 90000) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, QStringLiteral("timed out")};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A whole file's bytes; empty when it cannot be read.
inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
inline QString errorLogPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log"); }
// The records of the program's error log, without their line ends.
inline QStringList errorLogLines() {
    QStringList lines = QString::fromLocal8Bit(readFile(errorLogPath())).split(QStringLiteral("\r\n"));
    if (lines.last().isEmpty()) lines.removeLast();
    return lines;
}
inline void clearErrorLog() { QFile::remove(errorLogPath()); }  // so that a test sees only its own records
inline QString binDir() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR"); }  // the build's programs

// Writes a whole file, making its folder; a test that cannot even set up stops there.
inline void writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}
// Text as the registry editor writes it: UTF-16LE after a byte order mark.
inline QByteArray utf16WithBom(const QString &text) {
    return QStringEncoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom)(text);
}
// The controls a user operates below window that assistive technology cannot name.
QStringList unnamedControls(QWidget &window);

// The failure call raised; number 0 when it raised none.
template <typename Call>
AutomationError automationError(Call &&call) {
    try { call(); } catch (const AutomationError &e) { return e; }
    return {0, {}};
}

}  // namespace sendmere::test

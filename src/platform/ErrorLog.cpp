#include "platform/Failures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <new>

namespace sendmere {
namespace {

QByteArray errorRecord(qint32 number, const QString &text, const QString &procedure) {
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    // Pieced together, never substituted in turn: a text may itself hold "%1".
    const QString record = QString::number(number) + QStringLiteral(",\"") + text + QStringLiteral("\",\"") + procedure +
                           QStringLiteral("\",\"ver\",") + QString::number(SENDMERE_VERSION_REVISION) +
                           QStringLiteral(",#") + now + QStringLiteral("#\r\n");
    return record.toLocal8Bit();
}

bool appendTo(const QString &path, const QByteArray &record) {
    QFile file(path);
    // Its records carry paths and numbers: the log is the user's alone, like the spool.
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append, ownerOnly)) return false;
    if (file.permissions() != (ownerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser)) file.setPermissions(ownerOnly);
    const bool written = file.write(record) == record.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

// Where an installed program's directory is not writable, records go to the user's state
// directory, so that no record is lost.
QString fallbackLogPath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
    const QString dir = state + QStringLiteral("/sendmere");
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return dir + QStringLiteral("/Errors.log");
}

}  // namespace

void WriteErrorLog(qint32 number, const QString &text, const QString &procedure) {
    const QByteArray record = errorRecord(number, text, procedure);
    const QString besideProgram = QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log");
    if (appendTo(besideProgram, record)) return;
    if (appendTo(fallbackLogPath(), record)) return;
    // Neither place takes the record: stderr is the last witness.
    fputs(record.constData(), stderr);
}

AutomationError asAutomationError(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const AutomationError &error) {
        return error;
    } catch (const std::bad_alloc &) {
        return {7, QStringLiteral("Out of memory")};
    } catch (const std::exception &error) {
        return {err::AutomationFailure, QString::fromLocal8Bit(error.what())};
    } catch (...) {
        return {err::AutomationFailure, QStringLiteral("Automation error")};
    }
}

void ResumeNext::logAndClear(const QString &procedure) {
    if (m_last) WriteErrorLog(m_last->number(), m_last->text(), procedure);
    m_last.reset();
}

}  // namespace sendmere

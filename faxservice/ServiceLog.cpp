#include "ServiceLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace sendmere::faxd {

ServiceLog::ServiceLog(QString path) : m_path(std::move(path))
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    // A service that runs for years keeps one previous log, not all of them.
    constexpr qint64 MaxLogBytes = 1024 * 1024;
    if (QFileInfo(m_path).size() > MaxLogBytes) {
        QFile::remove(m_path + QStringLiteral(".1"));
        QFile::rename(m_path, m_path + QStringLiteral(".1"));
    }
}

void ServiceLog::write(const QString &level, const QString &text) const
{
    const QString line = QStringLiteral("%1 %2: %3\n")
                             .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), level, text);
    const QByteArray bytes = line.toUtf8();
    QFile file(m_path);
    if (file.open(QIODevice::Append | QIODevice::Text))
        file.write(bytes);
    std::fputs(bytes.constData(), stderr);
}

}  // namespace sendmere::faxd

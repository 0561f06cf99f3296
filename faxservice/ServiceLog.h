#pragma once
// The service's log: one timestamped line per event, appended to a private file and echoed
// on stderr, so that a user can read what the service recovered or lost.
#include <QString>

namespace sendmere::faxd {

class ServiceLog {
public:
    explicit ServiceLog(QString path);
    void info(const QString &text) const { write(QStringLiteral("info"), text); }
    void warning(const QString &text) const { write(QStringLiteral("warning"), text); }
    const QString &path() const { return m_path; }

private:
    void write(const QString &level, const QString &text) const;
    QString m_path;
};

}  // namespace sendmere::faxd

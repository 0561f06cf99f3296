#include "Netrc.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::registry {

QString netrcPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere/netrc");
}

namespace {

struct Entry {
    bool isDefault = false;
    QString machine;
    Credentials credentials;
};

QList<Entry> entries(const QString &text)
{
    QList<Entry> result;
    const QStringList lines = text.split(QLatin1Char('\n'));
    bool inMacro = false;
    for (const QString &line : lines) {
        // A macro definition runs to the next empty line; its text holds no credentials.
        if (inMacro) {
            inMacro = !line.trimmed().isEmpty();
            continue;
        }
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QString &word = words[i];
            const QString next = i + 1 < words.size() ? words[i + 1] : QString();
            if (word == QLatin1String("machine")) {
                result.append({false, next, {}});
                ++i;
            } else if (word == QLatin1String("default")) {
                result.append({true, {}, {}});
            } else if (word == QLatin1String("macdef")) {
                inMacro = true;
                break;
            } else if (!result.isEmpty() && (word == QLatin1String("login") || word == QLatin1String("password")
                                             || word == QLatin1String("account"))) {
                if (word == QLatin1String("login"))
                    result.last().credentials.login = next;
                else if (word == QLatin1String("password"))
                    result.last().credentials.password = next;
                else
                    result.last().credentials.account = next;
                ++i;
            }
        }
    }
    return result;
}

bool matches(const Entry &entry, const QString &login)
{
    return login.isEmpty() || entry.credentials.login.isEmpty() || entry.credentials.login == login;
}

}  // namespace

std::optional<Credentials> parseNetrc(const QString &text, const QString &host, const QString &login)
{
    const QList<Entry> all = entries(text);
    for (const Entry &entry : all)
        if (!entry.isDefault && entry.machine.compare(host, Qt::CaseInsensitive) == 0 && matches(entry, login))
            return entry.credentials;
    for (const Entry &entry : all)
        if (entry.isDefault && matches(entry, login))
            return entry.credentials;
    return std::nullopt;
}

NetrcLookup lookupNetrc(const QString &host, const QString &login, const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0)
        return {};
    if (!S_ISREG(info.st_mode))
        return {std::nullopt, QStringLiteral("the credentials file %1 is not a regular file").arg(path)};
    if (info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        return {std::nullopt, QStringLiteral("the credentials file %1 is not private to its user (mode %2): "
                                             "it is not read until it is made so (chmod 600 %1)")
                                  .arg(path)
                                  .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0'))};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, QStringLiteral("the credentials file %1 can not be read: %2").arg(path, file.errorString())};
    // A credentials file is a few lines; anything huge is not one.
    const QByteArray text = file.read(1 << 20);
    return {parseNetrc(QString::fromUtf8(text), host, login), {}};
}

}  // namespace sendmere::registry

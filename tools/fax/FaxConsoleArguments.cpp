#include "FaxConsoleArguments.h"

#include "FaxConsole.h"
#include "RegistryStore.h"

#include <QDir>
#include <QFileInfo>

namespace sendmere::console {

namespace {

const QStringList ValueOptions{QStringLiteral("--to"), QStringLiteral("--name"), QStringLiteral("--cover"),
                               QStringLiteral("--subject"), QStringLiteral("--note"), QStringLiteral("--at"),
                               QStringLiteral("--priority"), QStringLiteral("--from"), QStringLiteral("--count")};
const QStringList FlagOptions{QStringLiteral("--discount"), QStringLiteral("--json")};

// The cover page directories, read from the registry as the program reads them.
QString coverDirectory(registry::Root root, const QString &base, const QString &sub)
{
    const registry::RegistryStore store;
    const auto baseValue = store.value(root, QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"), base);
    const auto subValue = store.value(root, QStringLiteral("Software\\Microsoft\\Fax\\Setup"), sub);
    if (!baseValue || !subValue)
        return {};
    return QDir::cleanPath(QString(baseValue->text + u'/' + subValue->text).replace(u'\\', u'/'));
}

QString templateIn(const QString &dir, const QString &name)
{
    if (dir.isEmpty())
        return {};
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::Files, QDir::Name))
        if (info.fileName().section(u'.', 0, 0).compare(name, Qt::CaseInsensitive) == 0)
            return info.fileName();
    return {};
}

}  // namespace

QDateTime parseTime(const QString &text)
{
    const QTime time = QTime::fromString(text, QStringLiteral("H:mm"));
    if (time.isValid()) {
        QDateTime at(QDate::currentDate(), time);
        return at < QDateTime::currentDateTime() ? at.addDays(1) : at;
    }
    QDateTime at = QDateTime::fromString(text, Qt::ISODate);
    if (!at.isValid())
        at = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd H:mm"));
    if (!at.isValid())
        throw UsageError(QStringLiteral("--at %1: give HH:MM or YYYY-MM-DDTHH:MM").arg(text));
    if (at < QDateTime::currentDateTime())
        throw UsageError(QStringLiteral("--at %1: that time has passed; give a time to come, or leave --at out to send now").arg(text));
    return at;
}

// A file the user names on the command line. A name that is not valid UTF-8 cannot travel
// to the fax service at all: the user hears that, not that the file is missing.
QString fileArgument(const QString &given)
{
    const QFileInfo info(given);
    if (!info.exists() && given.contains(QChar::ReplacementCharacter))
        throw UsageError(QStringLiteral("%1: the file name is not valid UTF-8 text; rename the file and try again").arg(given));
    return info.absoluteFilePath();
}

int parsePriority(const QString &text)
{
    if (text.isEmpty() || text == QStringLiteral("normal"))
        return fax::PriorityNormal;
    if (text == QStringLiteral("low"))
        return fax::PriorityLow;
    if (text == QStringLiteral("high"))
        return fax::PriorityHigh;
    throw UsageError(QStringLiteral("--priority %1: give low, normal or high").arg(text));
}

// A number the user gives for a fax line; the service takes no other.
QString faxNumberArgument(const QString &option, const QString &number, int maxLength)
{
    if (const QString problem = faxbus::faxNumberProblem(number.trimmed(), maxLength); !problem.isEmpty())
        throw UsageError(QStringLiteral("%1 %2: %3").arg(option, number, problem));
    return number.trimmed();
}

void chooseCoverPage(fax::FaxDocument &doc, const QString &name)
{
    const QString server = coverDirectory(registry::Root::LocalMachine, QStringLiteral("Common AppData"), QStringLiteral("ServerCoverPageDir"));
    const QString personal = coverDirectory(registry::Root::CurrentUser, QStringLiteral("Personal"), QStringLiteral("CoverPageDir"));
    if (const QString file = templateIn(server, name); !file.isEmpty()) {
        doc.CoverPageType = fax::CoverPageServer;
        doc.CoverPage = file;
    } else if (const QString own = templateIn(personal, name); !own.isEmpty()) {
        doc.CoverPageType = fax::CoverPageLocal;
        doc.CoverPage = own;
    } else if (QFileInfo(name).isFile()) {
        doc.CoverPageType = fax::CoverPageLocal;
        doc.CoverPage = QFileInfo(name).absoluteFilePath();
    } else {
        throw UsageError(QStringLiteral("--cover %1: no such cover page template in %2 or %3").arg(name, server, personal));
    }
}

QString archiveFolder(const QString &word)
{
    if (word == QStringLiteral("sent"))
        return QStringLiteral("outgoing");
    if (word == QStringLiteral("received"))
        return QStringLiteral("incoming");
    throw UsageError(QStringLiteral("\"%1\": give sent or received").arg(word));
}

Arguments parseArguments(const QStringList &args)
{
    Arguments parsed;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (optionsEnded || !arg.startsWith(u'-') || arg == QStringLiteral("-")) {
            parsed.positional.append(arg);
            continue;
        }
        if (arg == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = equals < 0 ? arg : arg.left(equals);
        if (ValueOptions.contains(name)) {
            if (equals >= 0)
                parsed.options.insert(name, arg.mid(equals + 1));
            else if (i + 1 < args.size())
                parsed.options.insert(name, args.at(++i));
            else
                throw UsageError(QStringLiteral("%1 needs a value").arg(name));
        } else if (FlagOptions.contains(name)) {
            if (equals >= 0)
                throw UsageError(QStringLiteral("%1 takes no value").arg(name));
            parsed.options.insert(name, QString());
        } else {
            throw UsageError(QStringLiteral("unknown option %1").arg(arg));
        }
    }
    return parsed;
}

}  // namespace sendmere::console

#include "bridge/FaxMessage.h"

#include "platform/Failures.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::mSend {
namespace {

const QString WorkFolderName = QStringLiteral("Plov.tmp");
const QString PictureName = QStringLiteral("Fax.png");
const QString LowerLabel = QStringLiteral("msend.generateFaxMessage");
const QString UpperLabel = QStringLiteral("msend.GenerateFaxMessage");

AutomationError fileNotFound() { return {err::FileNotFound, QStringLiteral("File not found")}; }
AutomationError permissionDenied() { return {err::PermissionDenied, QStringLiteral("Permission denied")}; }

// The failure a step left behind, as the routine's one pending error.
class Pending {
public:
    template <typename Step>
    void run(Step &&step) {
        try {
            step();
        } catch (...) {
            m_error = asAutomationError(std::current_exception());
        }
    }
    bool any() const { return m_error.has_value(); }
    qint32 number() const { return m_error ? m_error->number() : 0; }
    void clear() { m_error.reset(); }
    void logAndClear(const QString &label) {
        if (m_error) WriteErrorLog(m_error->number(), m_error->text(), label);
        m_error.reset();
    }

private:
    std::optional<AutomationError> m_error;
};

// Removes a file even when it is read-only.
bool forceRemove(const QString &path) {
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner);
    return QFile::remove(path);
}

void emptyFolder(const QString &folder) {
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : files)
        if (!forceRemove(file.absoluteFilePath())) throw permissionDenied();
}

// A folder of this user's, not a link, that others cannot write to.
bool ownFolder(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int fileCount(const QString &folder) {
    return int(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size());
}

// The program and its arguments: the longest leading part that names an existing file is
// the program, so that a program directory with blanks in its name still starts.
QStringList splitCommandLine(const QString &commandLine) {
    for (qsizetype blank = commandLine.lastIndexOf(u' '); blank > 0; blank = commandLine.lastIndexOf(u' ', blank - 1)) {
        const QString program = commandLine.left(blank);
        if (QFileInfo(program).isFile()) return QStringList{program} + QProcess::splitCommand(commandLine.mid(blank + 1));
    }
    return QProcess::splitCommand(commandLine);
}

QString htmlFragment(int page) {
    return QStringLiteral("<br><IMG alt=Page%1 align=baseline border=0 hspace=0 width=775 height=500 src=cid:").arg(page)
           + PictureName + QStringLiteral(">");
}

}  // namespace

QString GetFileExtension(const QString &path) {
    const qsizetype dot = path.lastIndexOf(u'.');
    return dot < 0 ? path : path.mid(dot + 1);
}

bool SuperShell(const QString &commandLine, const QString &currentDirectory, qint16 showMode, qint32 creationFlags,
                int timeLimitMs) {
    // The converter has no window to show, and a higher priority than the caller's is not
    // granted to an ordinary user here: both settings are accepted and have no effect.
    Q_UNUSED(showMode);
    Q_UNUSED(creationFlags);
    const QStringList words = splitCommandLine(commandLine);
    QProcess process;
    process.setProgram(words.value(0));
    process.setArguments(words.mid(1));
    process.setWorkingDirectory(currentDirectory);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start();
    if (!process.waitForStarted(-1)) {
        WriteErrorLog(err::FileNotFound, QStringLiteral("File not found"), QStringLiteral("msend.SuperShell"));
        return false;
    }
    if (!process.waitForFinished(timeLimitMs)) {
        process.kill();
        process.waitForFinished(-1);
        WriteErrorLog(err::PathFileAccessError,
                      QStringLiteral("%1 did not finish within %2 seconds and was stopped").arg(words.value(0)).arg(timeLimitMs / 1000),
                      QStringLiteral("msend.SuperShell"));
    }
    return true;
}

void generateFaxMessage(const QString &tiffPath, mail::MailItem &item) {
    Pending pending;
    const QString work = mCommon::GetTempDir() + WorkFolderName;
    pending.run([&] {
        if (!QDir().mkpath(work)) throw permissionDenied();
    });
    if (!ownFolder(work)) {
        // Never work in a folder another user made or can write to: its files could be
        // links into the user's own files.
        WriteErrorLog(err::PermissionDenied, QStringLiteral("Permission denied"), LowerLabel);
        return;
    }
    pending.run([&] { emptyFolder(work); });

    const QFileInfo tiff(tiffPath);
    if (tiffPath.isEmpty() || !tiff.isFile()) {
        WriteErrorLog(err::FileNotFound, QStringLiteral("File not found"), LowerLabel);
        return;
    }
    const QString copy = work + u'/' + tiffPath.section(u'/', -1);
    pending.run([&] {
        if (QFileInfo::exists(copy)) forceRemove(copy);
        if (!QFile::copy(tiffPath, copy)) throw permissionDenied();
    });
    if (pending.any()) pending.logAndClear(LowerLabel);
    const QString tiffInWork = work + QStringLiteral("/Fax.tiff");
    pending.run([&] {
        if (copy == tiffInWork) return;
        if (QFileInfo::exists(tiffInWork)) forceRemove(tiffInWork);
        if (!QFile::rename(copy, tiffInWork)) throw fileNotFound();
    });
    const QString converter = QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe *.*");
    if (!SuperShell(converter, work, 0, 0x80))
        WriteErrorLog(err::FileNotFound, QStringLiteral("File not found"), LowerLabel);

    std::unique_ptr<mail::SafeMailItem> safe;
    pending.run([&] {
        safe = mail::createSafeMailItem();
        safe->setItem(&item);
        safe->setHTMLBody(QString());
    });
    pending.clear();
    int page = 0;
    if (!pending.any() && page < fileCount(work)) {
        const QString picture = work + u'/' + PictureName;
        pending.run([&] {
            if (!QFileInfo(picture).isFile()) throw fileNotFound();
        });
        if (GetFileExtension(picture) == QLatin1String("png") && !pending.any()) {
            std::optional<mail::SafeMailItem::Attachment> attachment;
            pending.run([&] {
                if (!safe) throw AutomationError::objectNotSet();
                attachment = safe->addAttachment(picture);
            });
            if (pending.any()) pending.logAndClear(UpperLabel);
            pending.run([&] {
                if (!attachment) throw AutomationError::objectNotSet();
                attachment->setFields(mail::tag::PR_ATTACH_MIME_TAG, QStringLiteral("image/png"));
                attachment->setFields(mail::tag::PR_ATTACH_CONTENT_ID, QStringLiteral("Page%1").arg(page, 3, 10, QLatin1Char('0')));
            });
            pending.run([&] {
                if (!safe) throw AutomationError::objectNotSet();
                safe->setHTMLBody(safe->HTMLBody() + htmlFragment(page + 1));
            });
            pending.run([&] {
                if (!safe) throw AutomationError::objectNotSet();
                safe->Save();
            });
            ++page;
        }
    }
    if (pending.number() == err::PermissionDenied || pending.number() == err::FileNotFound) pending.clear();
    QDir(work).removeRecursively();
    pending.logAndClear(UpperLabel);
}

}  // namespace sendmere::mSend

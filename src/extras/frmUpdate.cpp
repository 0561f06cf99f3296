#include "extras/frmUpdate.h"

#include "platform/Failures.h"
#include "platform/shell/Shell.h"
#include "services/CWinReg.h"
#include "services/PageParts.h"
#include "services/Translations.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTextDocumentFragment>
#include <QVBoxLayout>
#include <array>
#include <cerrno>
#include <memory>

namespace sendmere {
namespace {

QString updateServer() {
    CWinReg reg;
    QString server;
    if (reg.OpenKey(reg.HKEY_CURRENT_USER(), frmUpdate::SettingsKey, false)) {
        server = reg.GetStringValue(frmUpdate::UpdateServerValue).trimmed();
        reg.CloseKey();
    }
    if (server.isEmpty()) server = frmUpdate::DefaultServer;
    if (!server.contains(QStringLiteral("://"))) server.prepend(QStringLiteral("https://"));
    while (server.endsWith(QLatin1Char('/'))) server.chop(1);
    return server;
}

// What a browser shows of the answer: the text of an HTML page, or the plain text.
QString bodyText(const QByteArray &body, const QString &contentType) {
    const QString text = QString::fromUtf8(body);
    if (contentType.contains(QStringLiteral("html"), Qt::CaseInsensitive) || text.trimmed().startsWith(QLatin1Char('<')))
        return QTextDocumentFragment::fromHtml(text).toPlainText().trimmed();
    return text.trimmed();
}

// Whether a file can be made in dir: tried, as the permission bits alone do not tell (a
// read-only mount, an access list, a user with override rights).
bool canWriteIn(const QString &dir) {
    QTemporaryFile probe(dir + QStringLiteral("/.sendmere-probe-XXXXXX"));
    return probe.open();
}

QString downloadFolder() {
    const QString programDir = QCoreApplication::applicationDirPath();
    if (canWriteIn(programDir)) return programDir;
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(downloads);
    return downloads;
}

// The program's own files: those it runs, converts with or logs to, and anything beside it
// that runs or is loaded (an executable, a library), or that is not a plain file. A download
// never takes the place of one of them.
bool isProgramFile(const QFileInfo &target) {
    const QString name = target.fileName();
    const QStringList ownNames = {QFileInfo(QCoreApplication::applicationFilePath()).fileName(), QStringLiteral("Errors.log"),
                                  QStringLiteral("tiff2png.exe")};
    for (const QString &own : ownNames)
        if (name.compare(own, Qt::CaseInsensitive) == 0) return true;
    if (!target.exists() && !target.isSymLink()) return false;
    if (target.isSymLink() || !target.isFile()) return true;
    const bool besideProgram = target.absolutePath() == QFileInfo(QCoreApplication::applicationDirPath()).absoluteFilePath();
    return besideProgram && (target.isExecutable() || name.endsWith(QStringLiteral(".so")) || name.contains(QStringLiteral(".so.")));
}

bool isRedirect(int status) { return status >= 300 && status < 400; }

}  // namespace

std::optional<QString> frmUpdate::stateText(int state) {
    static const std::array<const char *, 13> texts = {
        QT_TR_NOOP("Not state"),     QT_TR_NOOP("Resolving Host"), QT_TR_NOOP("Host Resolved"),
        QT_TR_NOOP("Connecting"),    QT_TR_NOOP("Connected"),      QT_TR_NOOP("Requesting"),
        QT_TR_NOOP("Request Sent"),  nullptr,                      nullptr,
        QT_TR_NOOP("Disconnecting"), QT_TR_NOOP("Disconnected"),   QT_TR_NOOP("Error"),
        nullptr};
    if (state < 0 || size_t(state) >= texts.size() || !texts[size_t(state)]) return std::nullopt;
    return tr(texts[size_t(state)]);
}

QUrl frmUpdate::checkUrl(int major, int minor) {
    return QUrl(updateServer() + QStringLiteral("/_check_update.asp?ver=%1.%2").arg(major).arg(minor));
}

QString frmUpdate::localFileFor(const QString &url) {
    return downloadFolder() + QLatin1Char('/') + url.mid(url.lastIndexOf(QLatin1Char('/')) + 1);
}

void frmUpdate::CheckForUpdate(QWidget *parentWidget) {
    const QPointer<QWidget> parent(parentWidget);  // the window may close while the page loads
    QNetworkAccessManager network;
    const std::unique_ptr<QNetworkReply> reply(
        network.get(QNetworkRequest(checkUrl(SENDMERE_VERSION_MAJOR, SENDMERE_VERSION_MINOR))));
    // The answer is read as it comes, and never more of it than an answer can be: an endless
    // or huge body is dropped rather than held in memory.
    reply->setReadBufferSize(MaxCheckAnswer + 1);
    QByteArray body;
    bool tooLong = false;
    const auto take = [&] {
        body += reply->read(MaxCheckAnswer + 1 - body.size());
        if (body.size() > MaxCheckAnswer && !tooLong) {
            tooLong = true;
            reply->abort();
        }
    };
    // The page has no time limit; the program's windows go on answering meanwhile.
    QEventLoop wait;
    connect(reply.get(), &QNetworkReply::readyRead, &wait, take);
    connect(reply.get(), &QNetworkReply::finished, &wait, &QEventLoop::quit);
    if (!reply->isFinished()) {
        // The pointer shows that the program is at work until the answer is in.
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
        wait.exec();
        QGuiApplication::restoreOverrideCursor();
    }
    if (!tooLong) take();
    if (tooLong) {
        WriteErrorLog(err::PathFileAccessError,
                      QStringLiteral("The update server's answer is longer than %1 bytes and was not read").arg(MaxCheckAnswer),
                      QStringLiteral("frmUpdate.CheckForUpdate"));
    }
    if (tooLong || reply->error() != QNetworkReply::NoError) {
        shell::seams().messageBox->show(parent, tr("Connect error. Check yor interner"), MessageTitle);
        return;
    }
    const QString answer = bodyText(body, reply->header(QNetworkRequest::ContentTypeHeader).toString());
    if (answer == u"0") {
        shell::seams().messageBox->show(parent, tr("Update not available."), MessageTitle);
    } else if (answer != u"1") {
        frmUpdate &dialog = page<frmUpdate>();
        dialog.setDownloadUrl(answer);
        dialog.showPage();
    }
}

QString frmUpdate::refusedDownload(const QString &url, const QString &localFile) {
    const QUrl address(url, QUrl::StrictMode);
    const QString scheme = address.scheme().toLower();
    if (!address.isValid() || (scheme != u"http" && scheme != u"https") || address.host().isEmpty())
        return QStringLiteral("Only http and https addresses are downloaded, not \"%1\"").arg(url);
    const QFileInfo target(localFile);
    if (target.fileName().isEmpty() || target.fileName().startsWith(QLatin1Char('.')))
        return QStringLiteral("The address \"%1\" names no file").arg(url);
    if (isProgramFile(target))
        return QStringLiteral("The download would replace %1, one of the program's own files").arg(localFile);
    return {};
}

frmUpdate::frmUpdate() {
    setWindowTitle(translated("sendmere::frmUpdate", DownloadTitle));
    lblInfo = parts::label(this, "lblInfo", tr("A new version is available."));
    ProgressBar1 = parts::make<QProgressBar>(this, "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setAccessibleName(tr("Download progress"));
    lblProgressInfo = parts::label(this, "lblProgressInfo", QString());
    cmdDownLoad = parts::button(this, "cmdDownLoad", tr("Download"));
    cmdCancel = parts::button(this, "cmdCancel", tr("Cancel"));
    cmdDownLoad->setDefault(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblInfo);
    layout->addWidget(ProgressBar1);
    layout->addWidget(lblProgressInfo);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdDownLoad);
    buttons->addWidget(cmdCancel);
    layout->addLayout(buttons);
    connect(cmdDownLoad, &QPushButton::clicked, this, &frmUpdate::cmdDownLoad_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmUpdate::cmdCancel_Click);
}

// A transfer still running when the dialog goes is ended without calling back into it.
frmUpdate::~frmUpdate() {
    if (!m_reply) return;
    m_reply->disconnect(this);
    m_reply->abort();
}

void frmUpdate::Form_Load() { m_localFile = localFileFor(m_downloadUrl); }

void frmUpdate::setDownloadUrl(const QString &url) {
    m_downloadUrl = url;
    m_localFile = localFileFor(url);
}

void frmUpdate::cmdDownLoad_Click() {
    m_contentLength = 0;
    ProgressBar1->setValue(0);
    setProgressText(QString());
    cmdDownLoad->setEnabled(false);
    m_bytesWritten = 0;
    m_failure.clear();
    m_failureNumber = 0;
    m_responseAccepted = false;
    if (m_downloadUrl.isEmpty()) {
        finishDownload();
        return;
    }
    if (const QString refused = refusedDownload(m_downloadUrl, m_localFile); !refused.isEmpty()) {
        m_failure = refused;
        m_failureNumber = err::PermissionDenied;
        finishDownload();
        return;
    }
    // The file is written beside its name and takes the name only once it is whole.
    m_file = std::make_unique<QSaveFile>(m_localFile);
    if (!m_file->open(QIODevice::WriteOnly)) {
        m_failure = QStringLiteral("%1 cannot be written: %2").arg(m_localFile, m_file->errorString());
        m_failureNumber = err::PathFileAccessError;
        m_file.reset();
        finishDownload();
        return;
    }
    const QUrl address(m_downloadUrl);
    onStateChanged(QHostAddress(address.host()).isNull() ? ResolvingHost : Connecting);
    m_reply = m_network.get(QNetworkRequest(address));
    // What arrives waits in memory only until it is written: a disk that cannot take it ends
    // the transfer instead of the memory filling up.
    m_reply->setReadBufferSize(64 * BlockSize);
    connect(m_reply, &QNetworkReply::socketStartedConnecting, this, [this] {
        if (lblProgressInfo->text() == stateText(ResolvingHost)) onStateChanged(HostResolved);
        onStateChanged(Connecting);
    });
    connect(m_reply, &QNetworkReply::requestSent, this, [this] {
        // The request goes out once the connection stands.
        for (int state : {Connected, Requesting, RequestSent}) onStateChanged(state);
    });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] { onStateChanged(ResponseReceived); });
    connect(m_reply, &QNetworkReply::readyRead, this, &frmUpdate::writeBlocks);
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        writeBlocks();  // the last blocks, before the connection is told to be gone
        if (m_reply->error() == QNetworkReply::NoError) {
            onStateChanged(Disconnecting);
            onStateChanged(Disconnected);
        } else {
            onStateChanged(Error);
        }
        finishDownload();
    });
}

void frmUpdate::setProgressText(const QString &text) {
    if (lblProgressInfo->text() == text) return;
    lblProgressInfo->setText(text);
    Q_EMIT progressTextChanged(text);
}

void frmUpdate::onStateChanged(int state) {
    if (state == ResponseReceived) {
        onResponseReceived();
        return;
    }
    if (const auto text = stateText(state)) setProgressText(*text);
}

// Each response's own headers count: a redirect's length is not the file's, and only a
// successful answer is written at all (an error page is not the file).
void frmUpdate::onResponseReceived() {
    if (!m_reply || !m_failure.isEmpty()) return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (isRedirect(status)) return;
    if (status < 200 || status >= 300) {
        failTransfer(err::PathFileAccessError,
                     QStringLiteral("The server answered %1 %2")
                         .arg(status)
                         .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        return;
    }
    m_responseAccepted = true;
    m_contentLength = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    writeBlocks();
}

// Writes what has arrived, in blocks of up to BlockSize bytes, and shows the progress when
// the server announced the length.
void frmUpdate::writeBlocks() {
    if (!m_reply || !m_file || !m_responseAccepted || !m_failure.isEmpty()) return;
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray block = m_reply->read(BlockSize);
        if (block.isEmpty()) break;
        errno = 0;
        if (m_file->write(block) != block.size() || !m_file->flush()) {
            const int cause = errno;
            const bool full = cause == ENOSPC || cause == EDQUOT || cause == EFBIG;
            failTransfer(full ? err::DiskFull : err::PathFileAccessError,
                         QStringLiteral("%1%2 cannot be written: %3")
                             .arg(full ? QStringLiteral("The disk is full. ") : QString(), m_localFile, m_file->errorString()));
            return;
        }
        m_bytesWritten += block.size();
        if (m_contentLength > 0 && m_bytesWritten > m_contentLength) {
            failTransfer(err::PathFileAccessError,
                         QStringLiteral("The server sent more than the %1 bytes it announced").arg(m_contentLength));
            return;
        }
        if (!m_reply->rawHeader("Content-Length").isEmpty() && m_contentLength != 0) {
            const qint64 percent = m_bytesWritten * 100 / m_contentLength;
            setProgressText(tr("Downloaded %1 bytes (%2%)").arg(m_bytesWritten).arg(percent));
            ProgressBar1->setValue(int(qMin<qint64>(percent, 100)));
        }
    }
}

void frmUpdate::failTransfer(qint32 number, const QString &reason) {
    m_failure = reason;
    m_failureNumber = number;
    // Ended from the event loop, not from inside the reply's own signal; finishDownload runs
    // from the transfer's end.
    if (m_reply) QMetaObject::invokeMethod(m_reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

QString frmUpdate::incompleteReason() const {
    if (m_bytesWritten <= 1) return QStringLiteral("The download of %1 brought %2 bytes").arg(m_downloadUrl).arg(m_bytesWritten);
    if (m_bytesWritten < m_contentLength)
        return QStringLiteral("The download of %1 ended after %2 of %3 bytes").arg(m_downloadUrl).arg(m_bytesWritten).arg(m_contentLength);
    return {};
}

// A transfer that ended early, failed or was cancelled opens nothing and leaves nothing: only
// a file that is all there takes its name and goes to the desktop, which opens it with the
// program it associates.
void frmUpdate::finishDownload() {
    const QPointer<frmUpdate> self(this);
    QString why = m_failure;
    if (m_reply) {
        if (why.isEmpty()) writeBlocks();
        why = m_failure;
        if (why.isEmpty() && m_reply->error() != QNetworkReply::NoError)
            why = QStringLiteral("The download of %1 failed: %2").arg(m_downloadUrl, m_reply->errorString());
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (why.isEmpty() && !m_cancelled) why = incompleteReason();
    if (why.isEmpty() && !m_cancelled && m_file && !m_file->commit())
        why = QStringLiteral("%1 cannot be written: %2").arg(m_localFile, m_file->errorString());
    const bool whole = why.isEmpty() && !m_cancelled && m_file;
    m_file.reset();  // a file not committed leaves no trace
    Q_EMIT downloadEnded(whole);
    if (!self) return;
    if (whole) {
        shell::seams().launcher->open(m_localFile);
    } else if (!m_cancelled) {
        WriteErrorLog(m_failure.isEmpty() ? err::PathFileAccessError : m_failureNumber, why, QStringLiteral("frmUpdate.cmdDownLoad_Click"));
        shell::seams().messageBox->show(this, tr("Can not download. Try later."),
                                        translated("sendmere::frmUpdate", DownloadTitle),
                                        shell::MessageBox::Icon::Stop);
        if (!self) return;  // the dialog went while its box was open
    }
    unload();
}

void frmUpdate::cmdCancel_Click() {
    if (m_reply && m_reply->isRunning()) {
        m_cancelled = true;
        m_reply->abort();  // ends the transfer at once; finishDownload runs from its end
    }
    unload();
}

}  // namespace sendmere

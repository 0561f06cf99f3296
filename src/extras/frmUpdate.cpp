#include "extras/frmUpdate.h"

#include "app/CWinReg.h"
#include "app/Failures.h"
#include "app/PageParts.h"
#include "platform/shell/Shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTextDocumentFragment>
#include <QVBoxLayout>
#include <array>
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

}  // namespace

std::optional<QString> frmUpdate::stateText(int state) {
    static const std::array<const char *, 13> texts = {
        "Not state", "Resolving Host", "Host Resolved", "Connecting", "Connected", "Requesting",
        "Request Sent", nullptr, nullptr, "Disconnecting", "Disconnected", "Error", nullptr};
    if (state < 0 || size_t(state) >= texts.size() || !texts[size_t(state)]) return std::nullopt;
    return QString::fromLatin1(texts[size_t(state)]);
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
    // The page has no time limit; the program's windows go on answering meanwhile.
    QEventLoop wait;
    connect(reply.get(), &QNetworkReply::finished, &wait, &QEventLoop::quit);
    if (!reply->isFinished()) wait.exec();
    if (reply->error() != QNetworkReply::NoError) {
        shell::seams().messageBox->show(parent, QStringLiteral("Connect error. Check yor interner"), MessageTitle);
        return;
    }
    const QString answer = bodyText(reply->readAll(), reply->header(QNetworkRequest::ContentTypeHeader).toString());
    if (answer == u"0") {
        shell::seams().messageBox->show(parent, QStringLiteral("Update not available."), MessageTitle);
    } else if (answer != u"1") {
        frmUpdate &dialog = page<frmUpdate>();
        dialog.setDownloadUrl(answer);
        dialog.showPage();
    }
}

frmUpdate::frmUpdate() {
    setWindowTitle(DownloadTitle);
    lblInfo = parts::label(this, "lblInfo", QStringLiteral("A new version is available."));
    ProgressBar1 = parts::make<QProgressBar>(this, "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setAccessibleName(QStringLiteral("Download progress"));
    lblProgressInfo = parts::label(this, "lblProgressInfo", QString());
    cmdDownLoad = parts::button(this, "cmdDownLoad", QStringLiteral("Download"));
    cmdCancel = parts::button(this, "cmdCancel", QStringLiteral("Cancel"));
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
    lblProgressInfo->clear();
    cmdDownLoad->setEnabled(false);
    m_bytesWritten = 0;
    m_file.setFileName(m_localFile);
    if (m_downloadUrl.isEmpty() || !m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (!m_file.isOpen()) WriteErrorLog(err::PathFileAccessError, m_file.errorString(), QStringLiteral("frmUpdate.cmdDownLoad_Click"));
        finishDownload();
        return;
    }
    onStateChanged(Connecting);
    m_reply = m_network.get(QNetworkRequest(QUrl(m_downloadUrl)));
    m_reply->setReadBufferSize(0);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] { onStateChanged(ResponseReceived); });
    connect(m_reply, &QNetworkReply::readyRead, this, &frmUpdate::writeBlocks);
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        onStateChanged(m_reply->error() == QNetworkReply::NoError ? Disconnected : Error);
        finishDownload();
    });
}

void frmUpdate::onStateChanged(int state) {
    if (state == ResponseReceived) {
        onResponseReceived();
        return;
    }
    if (const auto text = stateText(state)) lblProgressInfo->setText(*text);
}

void frmUpdate::onResponseReceived() {
    if (m_contentLength == 0) m_contentLength = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    writeBlocks();
}

// Writes what has arrived, in blocks of up to BlockSize bytes, and shows the progress when
// the server announced the length.
void frmUpdate::writeBlocks() {
    if (!m_reply) return;
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray block = m_reply->read(BlockSize);
        if (block.isEmpty()) break;
        const qint64 written = m_file.write(block);
        if (written > 0) m_bytesWritten += written;
        if (!m_reply->rawHeader("Content-Length").isEmpty() && m_contentLength != 0) {
            const qint64 percent = m_bytesWritten * 100 / m_contentLength;
            lblProgressInfo->setText(QStringLiteral("Downloaded %1 bytes (%2%)").arg(m_bytesWritten).arg(percent));
            ProgressBar1->setValue(int(qMin<qint64>(percent, 100)));
        }
    }
}

// A transfer that ended early, failed or was cancelled opens nothing: only a file that is
// all there goes to the desktop, which opens it with the program it associates.
void frmUpdate::finishDownload() {
    bool complete = false;
    if (m_reply) {
        writeBlocks();
        complete = m_reply->error() == QNetworkReply::NoError;
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_file.close();
    const bool whole = complete && m_bytesWritten > 1 && m_bytesWritten >= m_contentLength && !m_cancelled;
    if (whole)
        shell::seams().launcher->open(m_localFile);
    else if (!m_cancelled)
        shell::seams().messageBox->show(this, QStringLiteral("Can not download. Try later."), DownloadTitle);
    Q_EMIT downloadEnded(whole);
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

#pragma once
// The update check and download. CheckForUpdate asks the update server whether a newer
// version exists; when the server names a download, this dialog fetches it into the
// program's directory with a progress display and hands it to the desktop to open.
// The server is not trusted: its answer to the check is read up to a small size, only http
// and https downloads are taken, never under the name of one of the program's own files, and
// a download reaches its name only whole (a temporary file beside it is renamed into place).
#include "services/FormPage.h"

#include <QSaveFile>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QUrl>
#include <memory>
#include <optional>

class QLabel;
class QNetworkReply;
class QProgressBar;
class QPushButton;

namespace sendmere {

class frmUpdate : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmUpdate;

    // The update server: the registry value UpdateServer of HKEY_CURRENT_USER
    // "Software\Sendmere" (a host, or a scheme and host with a port), else DefaultServer.
    static inline const QString SettingsKey = QStringLiteral("Software\\Sendmere");
    static inline const QString UpdateServerValue = QStringLiteral("UpdateServer");
    static inline const QString DefaultServer = QStringLiteral("https://www.sendmere.org");
    static inline const QString MessageTitle = QStringLiteral("Quillpost");
    static inline const QString DownloadTitle = QStringLiteral(QT_TRANSLATE_NOOP("sendmere::frmUpdate", "Quillpost update"));
    static constexpr qint64 BlockSize = 2048;
    // The answer to the check is a digit or an address; anything longer is not an answer.
    static constexpr qint64 MaxCheckAnswer = 64 * 1024;

    // The states of a transfer, each with its status text.
    enum State {
        NoState, ResolvingHost, HostResolved, Connecting, Connected, Requesting, RequestSent,
        ReceivingResponse, ResponseReceived, Disconnecting, Disconnected, Error, ResponseCompleted
    };
    // The status text of a state; nothing for the states that leave the text as it stands.
    static std::optional<QString> stateText(int state);

    // The check request for this version: <server>/_check_update.asp?ver=MAJOR.MINOR.
    static QUrl checkUrl(int major, int minor);
    // Asks the server; shows "Update not available.", nothing, or this dialog.
    static void CheckForUpdate(QWidget *parent);
    // Where a download from url goes: the program's directory, or the user's download
    // folder where that is not writable, and the URL's part after its last '/'.
    static QString localFileFor(const QString &url);
    // Why url cannot be downloaded to localFile (a scheme other than http and https, no file
    // name, or the name of one of the program's own files); empty when it can.
    static QString refusedDownload(const QString &url, const QString &localFile);

    frmUpdate();
    ~frmUpdate() override;
    void setDownloadUrl(const QString &url);
    void Form_Load() override;
    void cmdDownLoad_Click();
    void cmdCancel_Click();

    QLabel *lblInfo, *lblProgressInfo;
    QProgressBar *ProgressBar1;
    QPushButton *cmdDownLoad, *cmdCancel;

    QString downloadUrl() const { return m_downloadUrl; }
    QString localFile() const { return m_localFile; }

Q_SIGNALS:
    // The transfer has ended; whole when the file was complete and went to the desktop to
    // open. The dialog unloads right after.
    void downloadEnded(bool whole);
    // The status text changed (as a screen reader hears the label change).
    void progressTextChanged(const QString &text);

private:
    void onStateChanged(int state);
    void onResponseReceived();
    void writeBlocks();
    void finishDownload();
    void setProgressText(const QString &text);
    // Ends the transfer early for reason, which the error log keeps.
    void failTransfer(qint32 number, const QString &reason);
    // Why the transfer that ended is not a whole file; empty when it is.
    QString incompleteReason() const;

    QString m_downloadUrl;
    QString m_localFile;
    qint64 m_contentLength = 0;
    qint64 m_bytesWritten = 0;
    std::unique_ptr<QSaveFile> m_file;
    QString m_failure;  // why the transfer was ended early
    qint32 m_failureNumber = 0;
    bool m_responseAccepted = false;  // the final answer was a success: its body is the file
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    bool m_cancelled = false;
};

}  // namespace sendmere

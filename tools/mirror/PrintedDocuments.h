#pragma once
// Documents printed to the "Sendmere Fax" printer reach the user's folder in the printer's
// spool (the printer's backend puts them there as PDF). Each one is taken out of the spool
// into the user's own data folder, where it stays while the fax wizard uses it, and the wizard
// is opened with it as its attachment: the fax dialog opens with the printed document.
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

namespace sendmere {

class PrintedDocuments : public QObject {
    Q_OBJECT
public:
    // The printer's spool root, as its device URI "sendmere-fax:/var/spool/sendmere-fax"
    // names it; SENDMERE_PRINT_SPOOL names another one (a printer set up with another URI).
    static QString spoolRoot();
    // The folder of the user running this process in spoolRoot().
    static QString userSpoolFolder();
    // Where printed documents are kept while the wizard has them.
    static QString keptFolder();
    // The program that opens the wizard: beside this one.
    static QString wizardProgram();

    PrintedDocuments(QString spoolFolder, QString keptFolder, QObject *parent = nullptr);

    // Takes what was printed while nobody watched, and watches from now on.
    void start();

Q_SIGNALS:
    // A printed document was handed to the wizard; path is where it is kept.
    void handedToWizard(const QString &path);

private:
    void scan();
    void watch();
    void take(const QString &name);

    QString m_spool;
    QString m_kept;
    QFileSystemWatcher m_watcher;
    QTimer m_retry;  // while the spool root does not exist yet
};

}  // namespace sendmere

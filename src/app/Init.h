#pragma once
// The actions the add-in can ask for, and the entry routine that dispatches them.
#include <QString>
#include <QStringList>

namespace sendmere {

class Init {
public:
    Init() = default;
    Init(const Init &) = delete;
    Init &operator=(const Init &) = delete;
    ~Init();  // releasing the actions releases the connections

    void ShowFaxNew(const QStringList &names, const QStringList &numbers, const QStringList &attachments);
    void ShowWarning(const QString &strMessage = {});
    void scan();
    void ShowFaxCover(const QStringList &names, const QStringList &numbers);
    void FaxImport();
    void FaxSender();
    void FaxAbout();
    void FaxHelp();
    void FaxRecv();
};

// Reads the command line and runs its action. Pages shown without waiting stay open.
void runEntry(const QString &commandLine);

}  // namespace sendmere

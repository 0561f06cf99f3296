#pragma once
// The actions the add-in can ask for, and the entry routine that dispatches them.
#include <QString>

namespace sendmere {

struct CommandLine;

class Init {
public:
    Init() = default;
    Init(const Init &) = delete;
    Init &operator=(const Init &) = delete;
    ~Init();  // releasing the actions releases the connections

    void ShowFaxNew(const CommandLine &line);
    void ShowWarning(const QString &strMessage = {});
    void scan();
    void ShowFaxCover(const CommandLine &line);
    void FaxImport();
    void FaxSender();
    void FaxAbout();
    void FaxHelp();
    void FaxRecv();
};

// Reads the command line and runs its action. Pages shown without waiting stay open.
void runEntry(const QString &commandLine);

}  // namespace sendmere

#pragma once
// What the program asks of the desktop: message boxes, the file open dialog, opening a file
// or address with its associated program, starting a program, and ending the process.
// Each goes through one small interface so that tests can record it instead of blocking
// or exiting; everything else in the program talks to the real components.
#include <QString>
#include <QStringList>
#include <memory>

class QWidget;

namespace sendmere::shell {

class MessageBox {
public:
    // The picture beside the text: none, or the stop sign of a failure.
    enum class Icon { None, Stop };
    virtual ~MessageBox() = default;
    // A message box with an OK button only; returns when the user has closed it, or when
    // parent went away meanwhile (the box goes with it).
    virtual void show(QWidget *parent, const QString &text, const QString &title, Icon icon = Icon::None) = 0;
};

class FileDialog {
public:
    virtual ~FileDialog() = default;
    // The file open dialog; filter is "description|pattern;pattern|..." pairs. Empty = cancelled.
    virtual QString openFileName(QWidget *parent, const QString &title, const QString &filter) = 0;
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // Opens a file, or an address such as "mailto:" or "https:", with its associated program.
    virtual bool open(const QString &fileOrUrl) = 0;
    // Starts a program without waiting for it.
    virtual bool start(const QString &program, const QStringList &arguments) = 0;
};

class ProgramEnd {
public:
    virtual ~ProgramEnd() = default;
    // Ends the process at once with code; never returns in the real program.
    virtual void exit(int code) = 0;
};

struct Seams {
    std::unique_ptr<MessageBox> messageBox;
    std::unique_ptr<FileDialog> fileDialog;
    std::unique_ptr<Launcher> launcher;
    std::unique_ptr<ProgramEnd> programEnd;
};

// The desktop's implementations, replaced piecewise by tests.
Seams &seams();

// Turns a "description|pattern;pattern|..." filter into Qt's "description (patterns);;..." form.
QString qtFileFilter(const QString &pipeFilter);

}  // namespace sendmere::shell

#pragma once
// What the desktop tests share: a real X server, the real message boxes and file dialogs closed
// as a user closes them, controls driven by their accessibility actions, and the real program
// driven as a child process through the accessibility bus.
#include "platform/shell/Shell.h"

#include <QDBusConnection>
#include <QList>
#include <QProcess>
#include <QString>
#include <functional>

class QWidget;

namespace sendmere::test {

// Keeps the desktop's message boxes, file dialogs and launcher; records only the end of the process.
class RealDialogsSeams {
public:
    RealDialogsSeams();
    ~RealDialogsSeams();
    RealDialogsSeams(const RealDialogsSeams &) = delete;
    RealDialogsSeams &operator=(const RealDialogsSeams &) = delete;
    QList<int> exitCodes;

private:
    std::unique_ptr<shell::ProgramEnd> m_saved;
};

// The control's accessibility action ("Press", "Toggle", "SetFocus" ...); false when it has none.
bool doAccessibleAction(QWidget *control, const QString &action);
// Sets a text box's text through its accessible value.
bool setAccessibleText(QWidget *control, const QString &text);

// Once a message box of the program is shown and active, runs inspect on it, then presses Return.
struct ClosedDialog {
    QString title;
    QString text;
};
void closeNextMessageBox(ClosedDialog *shown, std::function<void(QWidget *)> inspect = {});
// Once a file dialog is shown, runs inspect on it, types path into it and presses Return.
void chooseInNextFileDialog(const QString &path, std::function<void(QWidget *)> inspect = {});

// A client of the accessibility bus, as a screen reader is one.
class AtSpi {
public:
    struct Node {
        QString service;
        QString path;
        bool isValid() const { return !service.isEmpty(); }
    };
    static constexpr quint32 CheckBox = 7, Dialog = 16, Label = 29, PushButton = 43, Text = 61;

    AtSpi();
    ~AtSpi();
    AtSpi(const AtSpi &) = delete;
    AtSpi &operator=(const AtSpi &) = delete;
    bool isConnected() const { return m_bus.isConnected(); }
    // The application root of process pid, once it has registered.
    Node application(qint64 pid, int timeoutMs = 10000);
    // The application's window titled title once it is the active window (its page activated).
    Node activeWindow(const Node &app, const QString &title, int timeoutMs = 10000);
    // The first node below root on screen whose name and role match.
    Node find(const Node &root, const QString &name, quint32 role, int timeoutMs = 5000);
    QList<Node> children(const Node &node);
    QString name(const Node &node);
    quint32 role(const Node &node);
    bool isShowing(const Node &node);
    bool doAction(const Node &node, const QString &action);
    bool setText(const Node &node, const QString &text);
    QString text(const Node &node);
    // The first node below root whose role matches, now; an invalid node when there is none.
    Node findRole(const Node &root, quint32 role);
    // Milliseconds the application takes to answer one plain request (an error counts); -1 for silence.
    qint64 answerTimeMs(const Node &node, int timeoutMs = 10000);

private:
    bool hasState(const Node &node, int state);
    Node search(const Node &root, const std::function<bool(const Node &)> &match, int depth);
    QDBusConnection m_bus;
};

// The real program, started with one command line argument as the desktop starts it.
struct RunningProgram {
    QProcess process;
    AtSpi::Node app;
};

// A user going through the program's pages: on() takes the page titled title once it is the
// active window, press() presses one of its buttons.
class WizardWalk {
public:
    WizardWalk(AtSpi &atspi, RunningProgram &program) : m_atspi(atspi), m_program(program) {}
    void on(const QString &title);
    void press(const QString &button);
    void goToFinish();  // from the recipients page, Next on each page
    AtSpi::Node page() const { return m_page; }

protected:
    AtSpi &m_atspi;
    RunningProgram &m_program;
    AtSpi::Node m_page;
};

// Starts it and waits until its pages are on the accessibility bus.
void startProgram(RunningProgram &program, AtSpi &atspi, const QString &commandLine);
// The process ends by itself within waitMs of its last page going, with code 0.
void expectProgramEnd(RunningProgram &program, int waitMs = 2000);

}  // namespace sendmere::test

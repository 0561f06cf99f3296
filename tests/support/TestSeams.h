#pragma once
// Records what the program asks of the desktop instead of showing or doing it: message
// boxes, file dialogs, opened files and addresses, started programs, the end of the process.
#include "platform/shell/Shell.h"

#include <QList>
#include <QStringList>
#include <functional>

namespace sendmere::test {

struct ShownMessage {
    QString text, title;
    shell::MessageBox::Icon icon = shell::MessageBox::Icon::None;
};

struct Recorded {
    QList<ShownMessage> messages;
    QStringList opened;
    QList<QStringList> started;  // program, then its arguments
    QList<int> exitCodes;
    QStringList dialogTitles;
    QString nextFileName;             // what the next file dialog answers; empty = cancelled
    std::function<void()> onMessage;  // runs while a message box "is shown"
    QStringList texts() const {  // of the messages
        QStringList shown;
        for (const ShownMessage &message : messages) shown << message.text;
        return shown;
    }
};

// Installs recording seams for the lifetime of this object and puts the desktop's back after.
class RecordingSeams {
public:
    RecordingSeams();
    ~RecordingSeams() { std::swap(shell::seams(), m_saved); }
    Recorded &recorded() { return m_recorded; }

private:
    Recorded m_recorded;
    shell::Seams m_saved;
};

}  // namespace sendmere::test

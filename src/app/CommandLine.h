#pragma once
// The command line the add-in starts the program with: an action word and "#"-separated
// lists, separated by ";": action;(unread);names;numbers;attachments.
#include <QString>
#include <QStringList>

namespace sendmere {

struct CommandLine {
    QStringList fields;  // no fields at all for an empty command line
    QStringList names, numbers, attachments;

    QString action() const { return fields.isEmpty() ? QString() : fields.first(); }
};

CommandLine parseCommandLine(const QString &text);

// The process's argument text: everything after the program path, as one string.
QString commandLineText(const QStringList &arguments);

}  // namespace sendmere

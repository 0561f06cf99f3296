#pragma once
// The command line the add-in starts the program with: an action word and "#"-separated
// lists, separated by ";": action;(unread);names;numbers;attachments.
#include <QString>
#include <QStringList>
#include <optional>

namespace sendmere {

struct CommandLine {
    QStringList fields;  // no fields at all for an empty command line
    QStringList names, numbers, attachments;

    QString action() const { return fields.isEmpty() ? QString() : fields.first(); }
};

CommandLine parseCommandLine(const QString &text);

// What the "new" action makes of the lists: each list holds items followed by "#", so the
// last piece is dropped. Resets the fax job first.
void fillNewFax(const CommandLine &line);
// What the "cover" action makes of them: every piece is a recipient.
void fillCoverFax(const CommandLine &line);

// The process's argument text: everything after the program path, as one string.
QString commandLineText(const QStringList &arguments);

// What a user typing "sendmere --help" or "sendmere --version" in a terminal is told there,
// before any window could open; nothing for every other command line (arguments holds the
// program path first), which keeps its silent way.
std::optional<QString> terminalAnswer(const QStringList &arguments);

}  // namespace sendmere

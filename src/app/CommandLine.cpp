#include "app/CommandLine.h"

namespace sendmere {
namespace {

// An empty field gives a list with no pieces; empty pieces inside are kept.
QStringList splitList(const QString &field) {
    return field.isEmpty() ? QStringList() : field.split(QLatin1Char('#'));
}

}  // namespace

CommandLine parseCommandLine(const QString &text) {
    CommandLine line;
    if (text.isEmpty()) return line;
    line.fields = text.split(QLatin1Char(';'));
    if (line.fields.size() >= 4) {
        line.names = splitList(line.fields[2]);
        line.numbers = splitList(line.fields[3]);
    }
    if (line.fields.size() >= 5) line.attachments = splitList(line.fields[4]);
    return line;
}

QString commandLineText(const QStringList &arguments) {
    return arguments.mid(1).join(QLatin1Char(' '));
}

}  // namespace sendmere

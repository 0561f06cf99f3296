#include "app/CommandLine.h"

#include "job/FaxJob.h"

namespace sendmere {
namespace {

// An empty field gives a list with no pieces; empty pieces inside are kept.
QStringList splitList(const QString &field) {
    return field.isEmpty() ? QStringList() : field.split(QLatin1Char('#'));
}

void fillRecipients(const QStringList &names, const QStringList &numbers) {
    FaxJob &job = faxJob();
    // A missing piece reads as empty text.
    for (int i = 1; i <= job.RecipientNumber.upperBound(); ++i) {
        job.RecipientNumber(i) = numbers.value(i - 1);
        job.RecipientName(i) = names.value(i - 1);
    }
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

void fillNewFax(const CommandLine &line) {
    ResetFaxJob();
    FaxJob &job = faxJob();
    if (!line.names.isEmpty()) {
        job.RecipientName.redimPreserve(int(line.names.size()) - 1);
        job.RecipientNumber.redimPreserve(int(line.names.size()) - 1);
    }
    if (!line.attachments.isEmpty()) job.Attachments.redimPreserve(int(line.attachments.size()) - 1);
    fillRecipients(line.names, line.numbers);
    for (int j = 1; j <= job.Attachments.upperBound(); ++j)
        job.Attachments(j) = QString(line.attachments[j - 1]).remove(QLatin1Char('"'));
}

void fillCoverFax(const CommandLine &line) {
    ResetFaxJob();
    FaxJob &job = faxJob();
    job.RecipientName.redimPreserve(int(line.names.size()));
    job.RecipientNumber.redimPreserve(int(line.names.size()));
    fillRecipients(line.names, line.numbers);
}

QString commandLineText(const QStringList &arguments) {
    return arguments.mid(1).join(QLatin1Char(' '));
}

}  // namespace sendmere

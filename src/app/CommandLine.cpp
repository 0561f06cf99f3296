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

namespace {

const char *const UsageText =
    "Usage: sendmere ACTION[;IGNORED;NAMES;NUMBERS;FILES]\n"
    "Sends faxes from the desktop and the mail client.\n"
    "\n"
    "Actions:\n"
    "  new      a new fax on the recipients page, with the recipients and files given\n"
    "  cover    a new fax on the cover page page, with the recipients given\n"
    "  import   the fax service's faxes into the mail folders\n"
    "  sender   the sender information page\n"
    "  scan     a scanned page as a new fax\n"
    "  recv     answers the ringing call on the first fax device\n"
    "  about    the about box\n"
    "  help     the help box\n"
    "  warning  the warning page\n"
    "\n"
    "NAMES and NUMBERS list the recipients, FILES the documents to attach; each list's\n"
    "items end with '#', as in: sendmere \"new;;Ann#;5550100#;/home/ann/letter.pdf#\"\n"
    "\n"
    "  --help     shows this text\n"
    "  --version  shows the version\n"
    "\n"
    "See sendmere(1).\n";

}  // namespace

std::optional<QString> terminalAnswer(const QStringList &arguments) {
    if (arguments.size() != 2) return std::nullopt;
    if (arguments[1] == QLatin1String("--version"))
        return QStringLiteral("sendmere %1\n").arg(QStringLiteral(SENDMERE_VERSION_STRING));
    if (arguments[1] == QLatin1String("--help")) return QString::fromLatin1(UsageText);
    return std::nullopt;
}

}  // namespace sendmere

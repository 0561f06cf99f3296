#pragma once
// What the user gives sendmere-fax on its command line, read into what the fax service
// takes; anything it cannot take raises UsageError with the reason.
#include "FaxBusApi.h"
#include "platform/fax/FaxClient.h"

#include <QDateTime>
#include <QString>
#include <stdexcept>

namespace sendmere::console {

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

QDateTime parseTime(const QString &text);  // "HH:MM" (the next such time) or an ISO date and time to come
QString fileArgument(const QString &given);  // its absolute path
int parsePriority(const QString &text);  // low, normal (or nothing) and high
QString faxNumberArgument(const QString &option, const QString &number, int maxLength = faxbus::MaxFaxNumberLength);
void chooseCoverPage(fax::FaxDocument &doc, const QString &name);  // by template name or file
QString archiveFolder(const QString &word);  // "sent" -> "outgoing", "received" -> "incoming"

}  // namespace sendmere::console

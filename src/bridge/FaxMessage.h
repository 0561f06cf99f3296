#pragma once
// The body of a mirrored fax item: the fax's TIFF turned into a PNG picture by the outside
// converter "tiff2png.exe" (in the program's directory) and shown inline in the item's
// HTML body. The work happens in the folder "Plov.tmp" of the user's own temporary
// directory, which exists only while it runs.
#include <QString>

namespace sendmere::mail { class MailItem; }

namespace sendmere::mSend {

// Puts the picture of the fax at tiffPath into item's HTML body. Failures are logged as
// "msend.generateFaxMessage" or "msend.GenerateFaxMessage"; a missing converter leaves the
// HTML body empty.
void generateFaxMessage(const QString &tiffPath, mail::MailItem &item);

// The longest the picture converter may take: a fax page takes it well under a second.
constexpr int ConverterTimeLimitMs = 30000;

// Starts the program of commandLine (its first word; the rest are its arguments) in
// currentDirectory and waits for it to end, at most timeLimitMs: a program still running
// then is ended and the time-out logged. False when it could not be started.
bool SuperShell(const QString &commandLine, const QString &currentDirectory, qint16 showMode, qint32 creationFlags,
                int timeLimitMs = ConverterTimeLimitMs);

// The text after the last "."; the whole path when it has none.
QString GetFileExtension(const QString &path);

}  // namespace sendmere::mSend

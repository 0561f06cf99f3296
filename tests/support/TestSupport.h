#pragma once
// Helpers the tests share.
#include "platform/AutomationError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QWidget;

namespace sendmere::test {

// The records of the program's error log, without their line ends.
QStringList errorLogLines();
// Removes the error log, so that a test sees only its own records.
void clearErrorLog();
// The build's bin/ folder, where the programs are.
QString binDir();

// A whole file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);
// Writes a whole file, making its folder; a test that cannot even set up stops there.
void writeFile(const QString &path, const QByteArray &bytes);
// Text as the registry editor writes it: UTF-16LE after a byte order mark.
QByteArray utf16WithBom(const QString &text);
// The controls a user operates below window that assistive technology cannot name.
QStringList unnamedControls(QWidget &window);

// The failure call raised; number 0 when it raised none.
template <typename Call>
AutomationError automationError(Call &&call) {
    try {
        call();
    } catch (const AutomationError &e) {
        return e;
    }
    return {0, {}};
}

}  // namespace sendmere::test

#pragma once
// Helpers the tests share.
#include <QString>
#include <QStringList>

namespace sendmere::test {

// The records of the program's error log, without their line ends.
QStringList errorLogLines();
// Removes the error log, so that a test sees only its own records.
void clearErrorLog();
// The build's bin/ folder, where the programs are.
QString binDir();

}  // namespace sendmere::test

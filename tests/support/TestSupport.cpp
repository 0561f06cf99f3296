#include "TestSupport.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QStringEncoder>
#include <QTextEdit>

namespace sendmere::test {
namespace {

QString errorLogPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log"); }

}  // namespace

QStringList errorLogLines() {
    QFile file(errorLogPath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

void clearErrorLog() { QFile::remove(errorLogPath()); }

QString binDir() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR"); }

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray utf16WithBom(const QString &text) {
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

QStringList unnamedControls(QWidget &window) {
    QStringList unnamed;
    for (QWidget *control : window.findChildren<QWidget *>()) {
        const bool operable = qobject_cast<QAbstractButton *>(control) || qobject_cast<QLineEdit *>(control) ||
                              qobject_cast<QTextEdit *>(control) || qobject_cast<QComboBox *>(control) ||
                              qobject_cast<QAbstractItemView *>(control) || qobject_cast<QAbstractSpinBox *>(control);
        // A list's own header and scroll parts are reached through the list.
        QWidget *parent = control->parentWidget();
        const bool partOfAList = qobject_cast<QAbstractItemView *>(parent) ||
                                 (parent && qobject_cast<QAbstractItemView *>(parent->parentWidget()));
        if (!operable || partOfAList || control->objectName().startsWith(QLatin1String("qt_"))) continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << control->objectName() + u'(' + QLatin1String(control->metaObject()->className()) + u')';
    }
    return unnamed;
}

}  // namespace sendmere::test

#pragma once
// The program speaks the user's language: its own texts and Qt's standard ones (the buttons
// of message boxes and file dialogs) come from the translation for the user's locale. Under
// the C or an English locale no translation is loaded and every text is the English source.
#include <QCoreApplication>
#include <QLocale>
#include <QString>

namespace sendmere {

// Loads the program's and Qt's translations for `locale` into `app` (the translators are
// owned by `app`). Returns whether the program's own translation was found; a language
// without one keeps the English texts.
bool installTranslations(QCoreApplication &app, const QLocale &locale = QLocale::system());

// The user's language's version of an English text that is kept as a constant (and marked
// for the translators with QT_TRANSLATE_NOOP under `context`).
inline QString translated(const char *context, const QString &source) {
    return QCoreApplication::translate(context, source.toUtf8().constData());
}

}  // namespace sendmere

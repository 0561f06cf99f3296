#include "services/Translations.h"

#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>
#include <memory>

namespace sendmere {
namespace {

Q_LOGGING_CATEGORY(lcTranslations, "sendmere.translations")

// The compiled translations are part of the program (a resource), so a program run from
// the build tree speaks the user's language exactly as an installed one does.
const QString OwnTranslationsDir = QStringLiteral(":/sendmere/translations");

bool install(QCoreApplication &app, const QLocale &language, const QString &name, const QString &dir) {
    auto translator = std::make_unique<QTranslator>(&app);
    if (!translator->load(language, name, QStringLiteral("_"), dir)) return false;
    if (!QCoreApplication::installTranslator(translator.get())) return false;
    translator.release();  // owned by app
    return true;
}

// English is the language the texts are written in, and the C locale means "untranslated".
bool isSourceLanguage(const QLocale &language) {
    return language.language() == QLocale::English || language.language() == QLocale::C;
}

}  // namespace

bool installTranslations(QCoreApplication &app, const QLocale &locale) {
    // The user's languages in the order they prefer them (LANGUAGE, then LC_ALL, LC_MESSAGES
    // and LANG, read by Qt itself, so the choice works even where the C library has no such
    // locale installed): the first one that is English or has a translation wins.
    for (const QString &name : locale.uiLanguages()) {
        const QLocale language(name);
        if (isSourceLanguage(language)) return false;
        if (!install(app, language, QStringLiteral("sendmere"), OwnTranslationsDir)) continue;
        // Qt's own texts (standard buttons, file dialogs) follow only where the program's do,
        // so a page never mixes two languages.
        const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        if (!install(app, language, QStringLiteral("qtbase"), qtDir))
            qCDebug(lcTranslations, "Qt's own texts have no %s translation in %s", qUtf8Printable(name),
                    qUtf8Printable(qtDir));
        return true;
    }
    qCDebug(lcTranslations, "No translation for %s; the texts stay English", qUtf8Printable(locale.name()));
    return false;
}

}  // namespace sendmere

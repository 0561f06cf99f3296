// The real program on a real X server in the language of its environment, read through the
// accessibility bus as a screen reader reads it: German under LANG=de_DE.UTF-8 (the C library
// need not have that locale), the English texts under LANG=C.
#include "DesktopKit.h"
#include "TestSupport.h"

#include <QtTest>

using namespace sendmere;
using test::AtSpi;
using test::RunningProgram;

namespace {

// LANG as given, and LANGUAGE (the user's order of preferred languages) where given.
void useLanguage(RunningProgram &program, const QString &lang, const QString &preferred) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) env.remove(QLatin1String(name));
    env.insert(QStringLiteral("LANG"), lang);
    if (!preferred.isEmpty()) env.insert(QStringLiteral("LANGUAGE"), preferred);
    program.process.setProcessEnvironment(env);
}

struct PageTexts {
    QString title, caption, toLabel, next, cancel;
};

// Starts the wizard with one recipient, reads the recipients page and cancels it.
void expectRecipientsPage(const QString &lang, const QString &preferred, const PageTexts &texts) {
    AtSpi atspi;
    RunningProgram wizard;
    useLanguage(wizard, lang, preferred);
    test::startProgram(wizard, atspi, QStringLiteral("new;;Ann#;111#;"));
    const AtSpi::Node page = atspi.activeWindow(wizard.app, texts.title);
    QVERIFY2(page.isValid(), qPrintable(texts.title));
    QVERIFY2(atspi.find(page, texts.caption, AtSpi::Label).isValid(), qPrintable(texts.caption));
    QVERIFY2(atspi.find(page, texts.toLabel, AtSpi::Text).isValid(), qPrintable(texts.toLabel));
    QVERIFY2(atspi.find(page, texts.next, AtSpi::PushButton).isValid(), qPrintable(texts.next));
    const AtSpi::Node cancel = atspi.find(page, texts.cancel, AtSpi::PushButton);
    QVERIFY2(cancel.isValid(), qPrintable(texts.cancel));
    QVERIFY(atspi.doAction(cancel, QStringLiteral("Press")));
    test::expectProgramEnd(wizard);
}

PageTexts english() {
    return {QStringLiteral("New Fax"), QStringLiteral("Recipient Information"), QStringLiteral("To"),
            QStringLiteral("Next >"), QStringLiteral("Cancel")};
}

}  // namespace

class TestDesktopLanguage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(AtSpi().isConnected(), "no accessibility bus"); }

    void germanLocaleShowsTheRecipientsPageInGerman() {
        expectRecipientsPage(QStringLiteral("de_DE.UTF-8"), QString(),
                             {QStringLiteral("Neues Fax"), QStringLiteral("Empfängerangaben"), QStringLiteral("An"),
                              QStringLiteral("Weiter >"), QStringLiteral("Abbrechen")});
    }

    void cLocaleKeepsTheEnglishTexts() {
        expectRecipientsPage(QStringLiteral("C"), QString(), english());
    }

    // A German locale whose user puts English first keeps the English texts.
    void englishPreferredOverTheGermanLocaleKeepsTheEnglishTexts() {
        expectRecipientsPage(QStringLiteral("de_DE.UTF-8"), QStringLiteral("en:de"), english());
    }
};

QTEST_MAIN(TestDesktopLanguage)
#include "tst_desktop_language.moc"

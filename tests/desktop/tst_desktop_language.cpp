// The real program on a real X server in the language of its environment, as a screen reader reads it.
#include "DesktopKit.h"

#include <QtTest>

using namespace sendmere::test;

class TestDesktopLanguage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(AtSpi().isConnected(), "no accessibility bus"); }

    // German under LANG=de_DE.UTF-8 (without that C locale); English under LANG=C and with LANGUAGE=en:de.
    void recipientsPageInTheLanguageOfTheEnvironment_data() {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("preferred");
        QTest::addColumn<QStringList>("texts");  // title, caption, To, Next, Cancel
        const QStringList english{"New Fax", "Recipient Information", "To", "Next >", "Cancel"};
        QTest::newRow("German") << "de_DE.UTF-8" << QString() << QStringList{"Neues Fax", "Empfängerangaben", "An", "Weiter >", "Abbrechen"};
        QTest::newRow("C") << "C" << QString() << english;
        QTest::newRow("English first") << "de_DE.UTF-8" << "en:de" << english;
    }
    void recipientsPageInTheLanguageOfTheEnvironment() {
        QFETCH(QString, lang);
        QFETCH(QString, preferred);
        QFETCH(QStringList, texts);
        AtSpi atspi;
        RunningProgram wizard;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) env.remove(QLatin1String(name));
        env.insert(QStringLiteral("LANG"), lang);
        if (!preferred.isEmpty()) env.insert(QStringLiteral("LANGUAGE"), preferred);
        wizard.process.setProcessEnvironment(env);
        startProgram(wizard, atspi, QStringLiteral("new;;Ann#;111#;"));
        const AtSpi::Node page = atspi.activeWindow(wizard.app, texts[0]);
        QVERIFY2(page.isValid(), qPrintable(texts[0]));
        const quint32 roles[] = {AtSpi::Label, AtSpi::Text, AtSpi::PushButton, AtSpi::PushButton};
        for (int i = 1; i < 5; ++i) QVERIFY2(atspi.find(page, texts[i], roles[i - 1]).isValid(), qPrintable(texts[i]));
        QVERIFY(atspi.doAction(atspi.find(page, texts[4], AtSpi::PushButton), QStringLiteral("Press")));
        expectProgramEnd(wizard);
    }
};

QTEST_MAIN(TestDesktopLanguage)
#include "tst_desktop_language.moc"

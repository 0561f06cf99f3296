// The program in the user's language: CTest runs this test with LANG=de_DE.UTF-8 (and nothing
// else naming a language), the C library's own locales need not exist for it. The recipients
// page is read through its widgets as a user and assistive technology see them.
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "services/Translations.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <clocale>

using namespace sendmere;

namespace {

frmNew &openPage() { return test::shownPage<frmNew>(); }

QString textOf(const frmNew &page, const char *name) {
    const QObject *control = page.findChild<QObject *>(QLatin1String(name));
    if (const auto *label = qobject_cast<const QLabel *>(control)) return label->text();
    if (const auto *button = qobject_cast<const QAbstractButton *>(control)) return button->text();
    return QStringLiteral("<no label or button %1>").arg(QLatin1String(name));
}

QStringList headerOf(const QTreeWidget *list) {
    QStringList labels;
    for (int i = 0; i < list->columnCount(); ++i) labels << list->headerItem()->text(i);
    return labels;
}

}  // namespace

class TestLanguage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        test::useCoverPageDirectories(test::coverBase());
    }
    void cleanup() { test::releaseAllPages(); }

    // Before any translation is installed: English and the C locale load nothing and leave
    // the source texts as they are; a language without a translation stays English too.
    void englishTheCLocaleAndUnknownLanguagesKeepTheSourceTexts() {
        QCoreApplication &app = *QCoreApplication::instance();
        QVERIFY(!installTranslations(app, QLocale::c()));
        QVERIFY(!installTranslations(app, QLocale(QLocale::English, QLocale::UnitedStates)));
        QVERIFY(!installTranslations(app, QLocale(QLocale::English, QLocale::UnitedKingdom)));
        QVERIFY(!installTranslations(app, QLocale(QLocale::Japanese, QLocale::Japan)));
        QVERIFY(!installTranslations(app, QLocale(QLocale::French, QLocale::France)));
        frmNew &page = openPage();
        QCOMPARE(page.windowTitle(), QStringLiteral("New Fax"));
        QCOMPARE(textOf(page, "lblCaption"), QStringLiteral("Recipient Information"));
        QCOMPARE(textOf(page, "btnNext"), QStringLiteral("Next >"));
        QCOMPARE(QDialogButtonBox(QDialogButtonBox::Cancel).button(QDialogButtonBox::Cancel)->text(),
                 QStringLiteral("Cancel"));
    }

    // Qt reads the language from LANG itself, so the choice does not depend on the C
    // library having the locale installed.
    void theEnvironmentChoosesGerman() {
        QCOMPARE(qgetenv("LANG"), QByteArray("de_DE.UTF-8"));
        qInfo("the C library %s the locale de_DE.UTF-8",
              std::setlocale(LC_MESSAGES, "") ? "has" : "does not have");
        QCOMPARE(QLocale::system().language(), QLocale::German);
        QVERIFY(installTranslations(*QCoreApplication::instance()));
        // Every German-speaking country shares the one German translation.
        QVERIFY(installTranslations(*QCoreApplication::instance(), QLocale(QLocale::German, QLocale::Austria)));
    }

    void theRecipientsPageIsGerman() {
        frmNew &page = openPage();
        QCOMPARE(page.windowTitle(), QStringLiteral("Neues Fax"));
        const std::pair<const char *, QString> texts[] = {
            {"lblCaption", QStringLiteral("Empfängerangaben")},
            {"lblStr", QStringLiteral("Geben Sie den Namen und die Nummer der Person ein, an die Sie das Fax senden "
                                      "möchten, oder klicken Sie auf „Adressbuch“, um einen Empfänger auszuwählen.")},
            {"lblTo", QStringLiteral("An:")},
            {"lblFaxNumber", QStringLiteral("Faxnummer:")},
            {"cmdAddress", QStringLiteral("Adressbuch...")},
            {"lblStr2", QStringLiteral("Um an mehrere Empfänger zu senden, geben Sie oben die Angaben jedes Empfängers "
                                       "ein und klicken Sie auf „Hinzufügen“, um ihn in die Liste unten aufzunehmen.")},
            {"cmdAdd", QStringLiteral("Hinzufügen")},
            {"cmdEdit", QStringLiteral("Bearbeiten")},
            {"cmdRemove", QStringLiteral("Entfernen")},
            {"btnBack", QStringLiteral("< Zurück")},
            {"btnNext", QStringLiteral("Weiter >")},
            {"btnCancel", QStringLiteral("Abbrechen")},
        };
        for (const auto &[name, german] : texts) QCOMPARE(textOf(page, name), german);
        // The list gets its columns when the page is activated.
        QTRY_COMPARE(headerOf(page.lvRecipients), (QStringList{QStringLiteral("Name des Empfängers"), QStringLiteral("Faxnummer")}));
        // What assistive technology reads follows the visible labels.
        QCOMPARE(page.txtTo->accessibleName(), QStringLiteral("An"));
        QCOMPARE(page.txtFaxNumber->accessibleName(), QStringLiteral("Faxnummer"));
        QCOMPARE(page.lvRecipients->accessibleName(), QStringLiteral("Empfänger"));
        QCOMPARE(page.btnNext->accessibleName(), QStringLiteral("Weiter >"));
    }

    void theRecipientsPageAsksInGerman() {
        test::RecordingSeams seams;
        test::setRecipients({}, {});
        frmNew &page = openPage();
        QTRY_VERIFY(page.isActiveWindow());
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QTest::keyClicks(page.txtTo, QStringLiteral("Ann"));
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(), (QStringList{QStringLiteral("Bitte geben Sie den Namen des Empfängers ein."),
                                                        QStringLiteral("Bitte geben Sie die Faxnummer des Empfängers ein.")}));
        QCOMPARE(seams.recorded().messages.value(0).title, QStringLiteral("Fax-Assistent"));
    }

    // Texts kept as constants are translated where they are shown, and the constant stays
    // the English source.
    void constantsAreTranslatedWhereShown() {
        QCOMPARE(frmCover::AttachDialogTitle, QStringLiteral("Attach"));
        QCOMPARE(translated("sendmere::frmCover", frmCover::AttachDialogTitle), QStringLiteral("Anhängen"));
    }

    // Qt's standard buttons speak German too.
    void qtsOwnTextsAreGerman() {
        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Abbrechen"));
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"

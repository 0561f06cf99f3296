// The program in the user's language: CTest runs this test with LANG=de_DE.UTF-8 (and nothing else naming a language), the C library's own
// locales need not exist for it. The recipients page is read through its widgets as a user and assistive technology see them.
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "services/Translations.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

QString textOf(const frmNew &page, const char *name) {
    const QObject *control = page.findChild<QObject *>(QLatin1String(name));
    if (const auto *label = qobject_cast<const QLabel *>(control)) return label->text();
    if (const auto *button = qobject_cast<const QAbstractButton *>(control)) return button->text();
    return u"<no label or button %1>"_s.arg(QLatin1String(name));
}

QString cancelText() { return QDialogButtonBox(QDialogButtonBox::Cancel).button(QDialogButtonBox::Cancel)->text(); }

}  // namespace

class TestLanguage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        test::useCoverPageDirectories(test::coverBase());
    }
    void cleanup() { test::releaseAllPages(); }

    // Qt reads the language from LANG itself, so the choice does not depend on the C library having the locale installed. Every
    // German-speaking country shares the one translation, Qt's own texts included; constants are translated where they are shown.
    void theEnvironmentChoosesGerman() {
        // A language without a translation, English and the C locale load nothing.
        for (const QLocale &locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedKingdom), QLocale(QLocale::Japanese, QLocale::Japan),
                                      QLocale(QLocale::French, QLocale::France)})
            QVERIFY2(!installTranslations(*QCoreApplication::instance(), locale), qPrintable(locale.name()));
        QCOMPARE(qgetenv("LANG"), QByteArray("de_DE.UTF-8"));
        QCOMPARE(QLocale::system().language(), QLocale::German);
        QVERIFY(installTranslations(*QCoreApplication::instance()));
        QVERIFY(installTranslations(*QCoreApplication::instance(), QLocale(QLocale::German, QLocale::Austria)));
        QCOMPARE(cancelText(), u"Abbrechen"_s);
        QCOMPARE(frmCover::AttachDialogTitle, u"Attach"_s);
        QCOMPARE(translated("sendmere::frmCover", frmCover::AttachDialogTitle), u"Anhängen"_s);
    }

    // The list gets its columns when the page is activated; what assistive technology reads follows the visible labels. The questions of
    // Next are German too. (The title, caption, To, Next and Cancel as a screen reader reads them are the desktop test's.)
    void theRecipientsPageIsGerman() {
        test::RecordingSeams seams;
        test::setRecipients({}, {});
        frmNew &page = test::shownPage<frmNew>();
        for (const auto &[name, german] : {std::pair{"lblFaxNumber", u"Faxnummer:"_s}, {"cmdAddress", u"Adressbuch..."_s}, {"cmdAdd", u"Hinzufügen"_s},
                                           {"cmdEdit", u"Bearbeiten"_s}, {"cmdRemove", u"Entfernen"_s}, {"btnBack", u"< Zurück"_s}})
            QCOMPARE(textOf(page, name), german);
        const QTreeWidgetItem *header = page.lvRecipients->headerItem();
        QTRY_COMPARE(QString::number(page.lvRecipients->columnCount()) + u'|' + header->text(0) + u'|' + header->text(1),
                     u"2|Name des Empfängers|Faxnummer"_s);
        QCOMPARE(QStringList({page.txtTo->accessibleName(), page.txtFaxNumber->accessibleName(), page.lvRecipients->accessibleName(),
                              page.btnNext->accessibleName()}),
                 (QStringList{u"An"_s, u"Faxnummer"_s, u"Empfänger"_s, u"Weiter >"_s}));

        QTRY_VERIFY(page.isActiveWindow());
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QTest::keyClicks(page.txtTo, u"Ann"_s);
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(), (QStringList{u"Bitte geben Sie den Namen des Empfängers ein."_s,
                                                        u"Bitte geben Sie die Faxnummer des Empfängers ein."_s}));
        QCOMPARE(seams.recorded().messages.value(0).title, u"Fax-Assistent"_s);
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"

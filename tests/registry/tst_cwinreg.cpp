// The program's registry class on the real store in this test's own XDG folders.
#include "app/CWinReg.h"

#include <QTemporaryDir>
#include <QTest>

using sendmere::CWinReg;
using sendmere::registry::RegistryStore;
using sendmere::registry::RegValue;
using sendmere::registry::Root;

namespace {
const QString kKey = QStringLiteral("Software\\Sendmere Test\\Values");
}

class TestCWinReg : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void openKeyCreatesOnlyWhenAsked()
    {
        CWinReg reg;
        const QString key = QStringLiteral("Software\\Sendmere Test\\Fresh");
        QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), key, false));
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), key, true));
        QVERIFY(RegistryStore().keyExists(Root::CurrentUser, key));
        QVERIFY(RegistryStore().subKeys(Root::CurrentUser, key).isEmpty());
        reg.CloseKey();
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), key.toUpper(), false));
        QVERIFY(!reg.OpenKey(0x80000003u, key, true));
        QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Bad\\\\Path"), true));
        QVERIFY(!RegistryStore().keyExists(Root::LocalMachine, key));
    }

    void stringsRoundTrip()
    {
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, true));
        for (const QString &text : {QString(), QStringLiteral("x"), QStringLiteral("\"quoted\" C:\\path\\"),
                                    QStringLiteral("Ünïcødé ✓"), QString(255, u'n')}) {
            QVERIFY(reg.SetStringValue(QStringLiteral("Text"), text));
            QCOMPARE(reg.GetStringValue(QStringLiteral("text")), text);
            CWinReg fresh;  // its own cache: the text comes from the file
            QVERIFY(fresh.OpenKey(fresh.HKEY_CURRENT_USER(), kKey, false));
            QCOMPARE(fresh.GetStringValue(QStringLiteral("Text")), text);
        }
        // The read buffer holds 255 characters and the terminating NUL.
        QVERIFY(reg.SetStringValue(QStringLiteral("Long"), QString(256, u'n')));
        QCOMPARE(reg.GetStringValue(QStringLiteral("Long")), QString());
        QCOMPARE(RegistryStore().value(Root::CurrentUser, kKey, QStringLiteral("Long")),
                 RegValue::string(QString(256, u'n')));

        // Another object, opened afresh, reads what this one wrote.
        CWinReg other;
        QVERIFY(other.OpenKey(other.HKEY_CURRENT_USER(), kKey, false));
        QCOMPARE(other.GetStringValue(QStringLiteral("TEXT")), QString(255, u'n'));
        QVERIFY(other.SetStringValue(QString(), QStringLiteral("default")));
        QCOMPARE(reg.GetStringValue(QString()), QStringLiteral("default"));

        // Expandable strings read as text, unexpanded.
        QVERIFY(RegistryStore().setValue(Root::CurrentUser, kKey, QStringLiteral("Exp"),
                                         RegValue::expandString(QStringLiteral("%HOME%\\x"))));
        QCOMPARE(reg.GetStringValue(QStringLiteral("Exp")), QStringLiteral("%HOME%\\x"));
        QCOMPARE(reg.GetDWordValue(QStringLiteral("Exp")), 0u);
    }

    void numbersAndFlags()
    {
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), kKey, true));
        for (const quint32 n : {0u, 1u, 256u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            QVERIFY(reg.SetDWordValue(QStringLiteral("Number"), n));
            QCOMPARE(reg.GetDWordValue(QStringLiteral("Number")), n);
        }
        QCOMPARE(reg.GetStringValue(QStringLiteral("Number")), QString());
        QVERIFY(reg.SetStringValue(QStringLiteral("Text"), QStringLiteral("12")));
        QCOMPARE(reg.GetDWordValue(QStringLiteral("Text")), 0u);
        QCOMPARE(reg.GetDWordValue(QStringLiteral("Missing")), 0u);

        QVERIFY(reg.SetBoolValue(QStringLiteral("Flag"), true));
        QCOMPARE(reg.GetStringValue(QStringLiteral("Flag")), QStringLiteral("yes"));
        QVERIFY(reg.GetBoolValue(QStringLiteral("Flag")));
        QVERIFY(reg.SetBoolValue(QStringLiteral("Flag"), false));
        QCOMPARE(reg.GetStringValue(QStringLiteral("Flag")), QStringLiteral("no"));
        QVERIFY(!reg.GetBoolValue(QStringLiteral("Flag")));
        for (const QString &yes : {QStringLiteral("YES"), QStringLiteral("yEs")}) {
            QVERIFY(reg.SetStringValue(QStringLiteral("Flag"), yes));
            QVERIFY(reg.GetBoolValue(QStringLiteral("Flag")));
        }
        for (const QString &no : {QStringLiteral("y"), QStringLiteral("yes "), QStringLiteral("1"), QStringLiteral("true")}) {
            QVERIFY(reg.SetStringValue(QStringLiteral("Flag"), no));
            QVERIFY(!reg.GetBoolValue(QStringLiteral("Flag")));
        }
        QVERIFY(reg.SetDWordValue(QStringLiteral("Flag"), 1));
        QVERIFY(!reg.GetBoolValue(QStringLiteral("Flag")));
        QVERIFY(!reg.GetBoolValue(QStringLiteral("Missing")));
    }

    void valueTextForTheAboutBox()
    {
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), kKey, true));
        QVERIFY(reg.SetDWordValue(QStringLiteral("Num"), 256));
        QVERIFY(reg.SetStringValue(QStringLiteral("Path"), QStringLiteral("/usr/bin/tool")));
        QVERIFY(reg.SetStringValue(QStringLiteral("Long"), QString(1024, u'l')));
        QVERIFY(RegistryStore().setValue(Root::LocalMachine, kKey, QStringLiteral("Exp"),
                                         RegValue::expandString(QStringLiteral("%x%"))));
        QString out = QStringLiteral("before");
        QVERIFY(reg.GetValueText(QStringLiteral("Num"), 1024, out));
        QCOMPARE(out, QStringLiteral("256"));
        QVERIFY(reg.GetValueText(QStringLiteral("path"), 1024, out));
        QCOMPARE(out, QStringLiteral("/usr/bin/tool"));
        out = QStringLiteral("kept");
        QVERIFY(reg.GetValueText(QStringLiteral("Exp"), 1024, out));
        QCOMPARE(out, QStringLiteral("kept"));
        QVERIFY(!reg.GetValueText(QStringLiteral("Long"), 1024, out));
        QVERIFY(reg.GetValueText(QStringLiteral("Long"), 1025, out));
        QCOMPARE(out.size(), 1024);
        out = QStringLiteral("kept");
        QVERIFY(!reg.GetValueText(QStringLiteral("Missing"), 1024, out));
        QCOMPARE(out, QStringLiteral("kept"));
    }

    void everyOperationFailsWithoutAKey()
    {
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, true));
        QVERIFY(reg.SetStringValue(QStringLiteral("Present"), QStringLiteral("value")));
        // A failed open leaves no key open, not even the one opened before.
        QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Does not exist"), false));
        const auto checkNothingWorks = [&] {
            QCOMPARE(reg.GetStringValue(QStringLiteral("Present")), QString());
            QVERIFY(!reg.SetStringValue(QStringLiteral("Present"), QStringLiteral("changed")));
            QVERIFY(!reg.SetDWordValue(QStringLiteral("N"), 5));
            QCOMPARE(reg.GetDWordValue(QStringLiteral("N")), 0u);
            QVERIFY(!reg.SetBoolValue(QStringLiteral("B"), true));
            QVERIFY(!reg.GetBoolValue(QStringLiteral("B")));
            QVERIFY(!reg.DeleteValue(QStringLiteral("Present")));
            QVERIFY(!reg.FlushKey());
            QString out = QStringLiteral("kept");
            QVERIFY(!reg.GetValueText(QStringLiteral("Present"), 1024, out));
            QCOMPARE(out, QStringLiteral("kept"));
        };
        checkNothingWorks();
        QVERIFY(!reg.OpenKey(0u, kKey, true));
        checkNothingWorks();
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, false));
        reg.CloseKey();
        checkNothingWorks();
        QCOMPARE(RegistryStore().value(Root::CurrentUser, kKey, QStringLiteral("Present")),
                 RegValue::string(QStringLiteral("value")));
        QVERIFY(!RegistryStore().value(Root::CurrentUser, kKey, QStringLiteral("N")));
    }

};

QTEST_GUILESS_MAIN(TestCWinReg)
#include "tst_cwinreg.moc"

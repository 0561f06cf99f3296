// The program's registry class on the real store in this test's own XDG folders.
#include "services/CWinReg.h"

#include <QTest>
#include <functional>

using sendmere::CWinReg;
using namespace sendmere::registry;
using namespace Qt::StringLiterals;

namespace {
const QString kKey = u"Software\\Sendmere Test\\Values"_s;
}

class TestCWinReg : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A key is created only when asked, found in any case; without an open key (a failed open leaves none, not even the one opened before)
    // every operation fails and changes nothing.
    void keysAndWhatFailsWithoutOne() {
        CWinReg reg;
        const QString fresh = u"Software\\Sendmere Test\\Fresh"_s;
        QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), fresh, false) && reg.OpenKey(reg.HKEY_CURRENT_USER(), fresh, true));
        QVERIFY(RegistryStore().keyExists(Root::CurrentUser, fresh) && !RegistryStore().keyExists(Root::LocalMachine, fresh));
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), fresh.toUpper(), false));
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, true) && reg.SetStringValue(u"Present"_s, u"value"_s));
        const auto closeBy = std::initializer_list<std::function<void()>>{
            [&] { QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), u"Software\\Does not exist"_s, false)); },
            [&] { QVERIFY(!reg.OpenKey(0x80000003u, kKey, true)); }, [&] { QVERIFY(!reg.OpenKey(reg.HKEY_CURRENT_USER(), u"Bad\\\\Path"_s, true)); },
            [&] { QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, false)); reg.CloseKey(); }};
        for (const auto &close : closeBy) {
            close();
            QString out = u"kept"_s;
            QVERIFY(reg.GetStringValue(u"Present"_s).isEmpty() && !reg.SetStringValue(u"Present"_s, u"changed"_s));
            QVERIFY(!reg.SetDWordValue(u"N"_s, 5) && reg.GetDWordValue(u"N"_s) == 0 && !reg.SetBoolValue(u"B"_s, true));
            QVERIFY(!reg.GetBoolValue(u"B"_s) && !reg.DeleteValue(u"Present"_s) && !reg.FlushKey());
            QVERIFY(!reg.GetValueText(u"Present"_s, 1024, out) && out == u"kept"_s);
        }
        QCOMPARE(RegistryStore().value(Root::CurrentUser, kKey, u"Present"_s), RegValue::string(u"value"_s));
        QVERIFY(!RegistryStore().value(Root::CurrentUser, kKey, u"N"_s) && !RegistryStore().keyExists(Root::CurrentUser, u"Bad"_s));
    }

    void stringsNumbersAndFlags() {
        CWinReg reg, other;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), kKey, true));
        for (const QString &text : {QString(), u"x"_s, u"\"quoted\" C:\\path\\"_s, u"Ünïcødé ✓"_s, QString(255, u'n')}) {
            QVERIFY(reg.SetStringValue(u"Text"_s, text));
            CWinReg fresh;  // its own cache: the text comes from the file
            QVERIFY(fresh.OpenKey(fresh.HKEY_CURRENT_USER(), kKey, false));
            QCOMPARE(fresh.GetStringValue(u"TEXT"_s), text);
        }
        // The read buffer holds 255 characters and the terminating NUL.
        QVERIFY(reg.SetStringValue(u"Long"_s, QString(256, u'n')));
        QCOMPARE(reg.GetStringValue(u"Long"_s), QString());
        QCOMPARE(RegistryStore().value(Root::CurrentUser, kKey, u"Long"_s), RegValue::string(QString(256, u'n')));
        QVERIFY(other.OpenKey(other.HKEY_CURRENT_USER(), kKey, false) && other.SetStringValue(QString(), u"default"_s));
        QCOMPARE(reg.GetStringValue(QString()), u"default"_s);
        // Expandable strings read as text, unexpanded.
        QVERIFY(RegistryStore().setValue(Root::CurrentUser, kKey, u"Exp"_s, RegValue::expandString(u"%HOME%\\x"_s)));
        QCOMPARE(reg.GetStringValue(u"Exp"_s), u"%HOME%\\x"_s);
        QCOMPARE(reg.GetDWordValue(u"Exp"_s), 0u);

        for (const quint32 n : {0u, 1u, 256u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            QVERIFY(reg.SetDWordValue(u"Number"_s, n));
            QCOMPARE(reg.GetDWordValue(u"Number"_s), n);
        }
        QCOMPARE(reg.GetStringValue(u"Number"_s), QString());
        QVERIFY(reg.SetStringValue(u"Digits"_s, u"12"_s));
        QCOMPARE(reg.GetDWordValue(u"Digits"_s) + reg.GetDWordValue(u"Missing"_s), 0u);

        QVERIFY(reg.SetBoolValue(u"Flag"_s, true));
        QCOMPARE(reg.GetStringValue(u"Flag"_s), u"yes"_s);
        QVERIFY(reg.GetBoolValue(u"Flag"_s));
        QVERIFY(reg.SetBoolValue(u"Flag"_s, false));
        QCOMPARE(reg.GetStringValue(u"Flag"_s), u"no"_s);
        for (const auto &[text, yes] : {std::pair{u"YES"_s, true}, {u"yEs"_s, true}, {u"y"_s, false}, {u"yes "_s, false},
                                        {u"1"_s, false}, {u"true"_s, false}}) {
            QVERIFY(reg.SetStringValue(u"Flag"_s, text));
            QCOMPARE(reg.GetBoolValue(u"Flag"_s), yes);
        }
        QVERIFY(reg.SetDWordValue(u"Flag"_s, 1));
        QVERIFY(!reg.GetBoolValue(u"Flag"_s) && !reg.GetBoolValue(u"Missing"_s));
    }

    void valueTextForTheAboutBox() {
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), kKey, true));
        QVERIFY(reg.SetDWordValue(u"Num"_s, 256) && reg.SetStringValue(u"Path"_s, u"/usr/bin/tool"_s));
        QVERIFY(reg.SetStringValue(u"Long"_s, QString(1024, u'l')));
        QVERIFY(RegistryStore().setValue(Root::LocalMachine, kKey, u"Exp"_s, RegValue::expandString(u"%x%"_s)));
        QString out;
        QVERIFY(reg.GetValueText(u"Num"_s, 1024, out));
        QCOMPARE(out, u"256"_s);
        QVERIFY(reg.GetValueText(u"path"_s, 1024, out));
        QCOMPARE(out, u"/usr/bin/tool"_s);
        QVERIFY(reg.GetValueText(u"Exp"_s, 1024, out) && !reg.GetValueText(u"Missing"_s, 1024, out));
        QCOMPARE(out, u"/usr/bin/tool"_s);  // left as it was
        QVERIFY(!reg.GetValueText(u"Long"_s, 1024, out));  // no room for the terminator
        QVERIFY(reg.GetValueText(u"Long"_s, 1025, out));
        QCOMPARE(out.size(), 1024);
    }
};

QTEST_GUILESS_MAIN(TestCWinReg)
#include "tst_cwinreg.moc"

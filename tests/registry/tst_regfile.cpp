// The ".reg" text form on its own: what is written reads back the same, damaged text
// is reported line by line, and no input at all can break the reader.
#include "RegHive.h"

#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

using namespace sendmere::registry;

namespace {

const QString kRoot = QStringLiteral("HKEY_CURRENT_USER");

Hive sampleHive()
{
    Hive hive;
    HiveKey &fax = hive.ensureKey(QStringLiteral("Software\\Fax\\UserInfo"));
    fax.set(QStringLiteral("FullName"), RegValue::string(QStringLiteral("Zoë \"Z\" O'Neil \\ Co")));
    fax.set(QString(), RegValue::string(QString()));
    fax.set(QStringLiteral("Count"), RegValue::number(0xDEADBEEF));
    fax.set(QStringLiteral("Tabs\tand @ = ; [x]"), RegValue::string(QString::fromUtf8("a\tb\r\nc\0d", 8)));
    fax.set(QStringLiteral("Long"), RegValue::expandString(QString(300, u'é')));
    fax.set(QStringLiteral("Binary"), OpaqueValue{QStringLiteral("hex"), QByteArray(100, '\x7f')});
    fax.set(QStringLiteral("Multi"), OpaqueValue{QStringLiteral("hex(7)"), QByteArray("a\0\0\0\0\0", 6)});
    fax.set(QStringLiteral("NoBytes"), OpaqueValue{QStringLiteral("hex(0)"), QByteArray()});
    hive.ensureKey(QStringLiteral("Software\\Empty"));
    hive.ensureKey(QString()).set(QStringLiteral("AtRoot"), RegValue::number(1));
    return hive;
}

QByteArray utf16(const QString &text)
{
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

QList<int> problemLines(const ParsedFile &parsed)
{
    QList<int> lines;
    for (const ParseProblem &p : parsed.problems)
        lines.append(p.line);
    return lines;
}

// Whatever the reader made of some input, writing it and reading it again is clean and
// gives the same keys and values.
void checkRewritesCleanly(const QByteArray &input)
{
    const ParsedFile parsed = parseRegFile(input, kRoot);
    const QByteArray written = formatRegFile(parsed.hive, kRoot);
    const ParsedFile again = parseRegFile(written, kRoot);
    QVERIFY2(again.problems.isEmpty(), qPrintable(again.problems.value(0).message));
    QCOMPARE(formatRegFile(again.hive, kRoot), written);
}

}  // namespace

class TestRegFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writtenTextReadsBackTheSame()
    {
        const Hive hive = sampleHive();
        const QByteArray bytes = formatRegFile(hive, kRoot);
        QVERIFY(bytes.startsWith("\xFF\xFE"));
        const ParsedFile parsed = parseRegFile(bytes, kRoot);
        QVERIFY(parsed.problems.isEmpty());
        const HiveKey *fax = parsed.hive.key(QStringLiteral("software\\fax\\userinfo"));
        QVERIFY(fax);
        for (const StoredValue &value : hive.key(QStringLiteral("Software\\Fax\\UserInfo"))->values) {
            const StoredValue *read = fax->find(value.name);
            QVERIFY2(read, qPrintable(value.name));
            QCOMPARE(read->name, value.name);
            QVERIFY2(read->data == value.data, qPrintable(value.name));
        }
        QVERIFY(parsed.hive.key(QStringLiteral("Software\\Empty")));
        QCOMPARE(parsed.hive.key(QString())->find(QStringLiteral("AtRoot"))->data,
                 (std::variant<RegValue, OpaqueValue>(RegValue::number(1))));
        QCOMPARE(formatRegFile(parsed.hive, kRoot), bytes);
    }

    void keysKeepTheirOrderAndSpelling()
    {
        Hive hive;
        hive.ensureKey(QStringLiteral("b\\Second"));
        hive.ensureKey(QStringLiteral("A b"));
        hive.ensureKey(QStringLiteral("a\\Z"));
        hive.ensureKey(QStringLiteral("A\\y\\deep"));
        QStringList paths;
        for (const HiveKey *key : hive.keys())
            paths.append(key->path);
        // Each key's subtree follows it; the first spelling of "a" is kept.
        QCOMPARE(paths, (QStringList{QString(), QStringLiteral("a"), QStringLiteral("a\\y"),
                                     QStringLiteral("a\\y\\deep"), QStringLiteral("a\\Z"),
                                     QStringLiteral("A b"), QStringLiteral("b"), QStringLiteral("b\\Second")}));
        QCOMPARE(hive.childNames(QStringLiteral("A")), (QStringList{QStringLiteral("y"), QStringLiteral("Z")}));
        QCOMPARE(hive.childNames(QString()),
                 (QStringList{QStringLiteral("a"), QStringLiteral("A b"), QStringLiteral("b")}));
        QVERIFY(pathsRelated(QStringLiteral("SOFTWARE\\x"), QStringLiteral("software")));
        QVERIFY(!pathsRelated(QStringLiteral("SOFTWARE\\x"), QStringLiteral("soft")));
    }

    void problemsNameTheirLines()
    {
        const ParsedFile parsed = parseRegFile(utf16(QStringLiteral(
            "Windows Registry Editor Version 5.00\r\n"          // 1
            "\"Early\"=\"no key yet\"\r\n"                       // 2
            "[HKEY_LOCAL_MACHINE\\Software]\r\n"                 // 3 another root
            "\"Skipped\"=\"with its key\"\r\n"                   // 4
            "[HKEY_CURRENT_USER\\Software\\Ok]\r\n"              // 5
            "\"A\"=dword:123456789\r\n"                          // 6 nine digits
            "\"B\"=-\r\n"                                        // 7 a deletion
            "\"C\"=hex(2):41,00,4\r\n"                           // 8 odd byte count
            "\"D\"=hex(1):zz\r\n"                                // 9
            "\"E\"=\"fine\"\r\n"                                 // 10
            "[-HKEY_CURRENT_USER\\Software\\Gone]\r\n"           // 11
            "\"F\"=\"under a deletion\"\r\n"                     // 12
            "[HKEY_CURRENT_USER\\Software\\\\Bad]\r\n"           // 13 empty component
            "[HKEY_CURRENT_USER\\Software\\Ok\r\n"               // 14 no bracket
            "[HKEY_CURRENT_USER\\Software\\Ok]\r\n"              // 15
            "\"G\" = \"spaced\"\r\n"                             // 16
            "\"H\"=\"x\" trailing\r\n"                           // 17
            "\"I\"=hex:01,\\\r\n"                                // 18 cut off by the next key
            "[HKEY_CURRENT_USER\\Software\\Next]\r\n"            // 19
            "\"J\"=hex:01,\\\r\n"                                // 20
            "  02,03\r\n")),                                     // 21
            kRoot);
        QCOMPARE(problemLines(parsed), (QList<int>{2, 3, 6, 7, 8, 9, 11, 13, 14, 17, 18}));
        const HiveKey *ok = parsed.hive.key(QStringLiteral("Software\\Ok"));
        QVERIFY(ok);
        QCOMPARE(ok->values.size(), 2);
        QCOMPARE(std::get<RegValue>(ok->find(QStringLiteral("E"))->data), RegValue::string(QStringLiteral("fine")));
        QCOMPARE(std::get<RegValue>(ok->find(QStringLiteral("G"))->data), RegValue::string(QStringLiteral("spaced")));
        QCOMPARE(std::get<OpaqueValue>(parsed.hive.key(QStringLiteral("Software\\Next"))->find(QStringLiteral("J"))->data),
                 (OpaqueValue{QStringLiteral("hex"), QByteArray("\x01\x02\x03")}));
        QVERIFY(!parsed.hive.key(QStringLiteral("Software\\Gone")));

        QCOMPARE(problemLines(parseRegFile(QByteArray(), kRoot)), QList<int>{1});
        QCOMPARE(problemLines(parseRegFile(QByteArray("\xFF\xFE\x00\xD8", 4), kRoot)), (QList<int>{0, 1}));  // a lone surrogate
    }

    void randomInputNeverBreaksTheReader()
    {
        QRandomGenerator random(7);
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes(random.bounded(0, 600), Qt::Uninitialized);
            for (char &b : bytes)
                b = char(random.bounded(256));
            if (round % 3 == 1)
                bytes.prepend("\xFF\xFE");
            checkRewritesCleanly(bytes);
        }
    }

    void damagedCopiesOfAGoodFileNeverBreakTheReader()
    {
        const QByteArray good = formatRegFile(sampleHive(), kRoot);
        for (qsizetype cut = 0; cut <= good.size(); ++cut)
            checkRewritesCleanly(good.left(cut));
        // Text-level damage hits the format's own characters more often than random bytes.
        const QString text = QStringDecoder(QStringConverter::Utf16LE)(good.mid(2));
        const QString alphabet = QStringLiteral("[]\"\\@=:,-(); \r\nhexdword0123456789abcdef");
        QRandomGenerator random(11);
        for (int round = 0; round < 2000; ++round) {
            QString mutated = text;
            for (int edits = random.bounded(1, 6); edits > 0; --edits) {
                const qsizetype at = random.bounded(qsizetype(mutated.size()));
                const QChar c = alphabet[random.bounded(qsizetype(alphabet.size()))];
                switch (random.bounded(3)) {
                case 0: mutated[at] = c; break;
                case 1: mutated.insert(at, c); break;
                default: mutated.remove(at, 1); break;
                }
            }
            checkRewritesCleanly(round % 2 ? mutated.toUtf8() : utf16(mutated));
        }
    }
};

QTEST_GUILESS_MAIN(TestRegFile)
#include "tst_regfile.moc"

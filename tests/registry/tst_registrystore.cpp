// The registry store against real files: what it writes, what it reads back, how it copes
// with damaged files, several processes and the desktop's own settings.
#include "RegHive.h"
#include "RegistryStore.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>

using namespace sendmere::registry;

namespace {

constexpr int kWritesPerProcess = 200;
const QString kRaceKey = QStringLiteral("Software\\Race");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    QVERIFY(file.commit());
}

QStringList fileLines(const QString &path)
{
    const QByteArray bytes = readAll(path);
    if (!bytes.startsWith("\xFF\xFE"))
        return {};
    QStringDecoder decoder(QStringConverter::Utf16LE);
    return QString(decoder(bytes.mid(2))).split(QStringLiteral("\r\n"));
}

QByteArray utf16WithBom(const QString &text)
{
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

// A writer process: one value after another into the same file as its twin.
int runWriter(const QString &directory, const QString &id)
{
    RegistryStore store(directory);
    for (int n = 0; n < kWritesPerProcess; ++n) {
        if (!store.setValue(Root::CurrentUser, kRaceKey, id + QString::number(n), RegValue::number(quint32(n))))
            return 1;
    }
    return 0;
}

// A process that takes a file's lock and never lets it go.
int holdLock(const QString &lockPath)
{
    QLockFile lock(lockPath);
    if (!lock.tryLock(0))
        return 1;
    std::puts("locked");
    std::fflush(stdout);
    QThread::sleep(60);
    return 0;
}

}  // namespace

class TestRegistryStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.emplace().isValid()); }

    void valuesSurviveTheFile()
    {
        const QString expandable = QStringLiteral("%SystemRoot%\\system32\\") + QString(120, u'x');
        const QList<std::pair<QString, RegValue>> values{
            {QStringLiteral("Empty"), RegValue::string({})},
            {QStringLiteral("One"), RegValue::string(QStringLiteral("x"))},
            {QStringLiteral("Quotes \"and\" \\slashes\\"), RegValue::string(QStringLiteral("say \"hi\" C:\\dir\\"))},
            {QStringLiteral("Unicode"), RegValue::string(QStringLiteral("Grüße – 東京 \U0001F600"))},
            {QStringLiteral("Lines"), RegValue::string(QStringLiteral("first\r\nsecond\n"))},
            {QString(), RegValue::string(QStringLiteral("default"))},
            {QStringLiteral("Expand"), RegValue::expandString(expandable)},
            {QStringLiteral("Zero"), RegValue::number(0)},
            {QStringLiteral("Max"), RegValue::number(0xFFFFFFFFu)},
        };
        RegistryStore writer(m_dir->path());
        for (const auto &[name, value] : values)
            QVERIFY(writer.setValue(Root::CurrentUser, QStringLiteral("Software\\Test"), name, value));

        RegistryStore reader(m_dir->path());  // a fresh cache: everything comes from the file
        for (const auto &[name, value] : values)
            QCOMPARE(reader.value(Root::CurrentUser, QStringLiteral("Software\\Test"), name), value);
        QVERIFY(!reader.value(Root::CurrentUser, QStringLiteral("Software\\Test"), QStringLiteral("Missing")));

        QVERIFY(writer.deleteValue(Root::CurrentUser, QStringLiteral("Software\\Test"), QStringLiteral("one")));
        QVERIFY(!writer.deleteValue(Root::CurrentUser, QStringLiteral("Software\\Test"), QStringLiteral("One")));
        QVERIFY(!RegistryStore(m_dir->path()).value(Root::CurrentUser, QStringLiteral("Software\\Test"),
                                                     QStringLiteral("One")));
    }

    // A string value ends at its first NUL for every reader: one inside is refused, and
    // what the value held stays.
    void nulInsideAStringIsRefused()
    {
        RegistryStore store(m_dir->path());
        const QString key = QStringLiteral("Software\\Test");
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("V"), RegValue::string(QStringLiteral("before"))));
        const QString withNul = QStringLiteral("ab") + QChar(0) + QStringLiteral("cd");
        QVERIFY(!store.setValue(Root::CurrentUser, key, QStringLiteral("V"), RegValue::string(withNul)));
        QVERIFY(!store.setValue(Root::CurrentUser, key, QStringLiteral("E"), RegValue::expandString(withNul)));
        QCOMPARE(RegistryStore(m_dir->path()).value(Root::CurrentUser, key, QStringLiteral("V")), RegValue::string(QStringLiteral("before")));
        QVERIFY(!RegistryStore(m_dir->path()).value(Root::CurrentUser, key, QStringLiteral("E")));
    }

    // A hand-written file of 100,000 values under one key: every value reads back and one
    // more write keeps them all (reading it took 43 s when each value searched the others).
    void manyValuesUnderOneKey()
    {
        constexpr int Count = 100000;
        QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Big]\r\n");
        for (int n = 0; n < Count; ++n)
            text += QStringLiteral("\"Value%1\"=dword:%2\r\n").arg(n).arg(n, 8, 16, QChar(u'0'));
        RegistryStore store(m_dir->path());
        writeBytes(store.filePath(Root::CurrentUser), utf16WithBom(text));
        const QString key = QStringLiteral("Software\\Big");
        QCOMPARE(store.value(Root::CurrentUser, key, QStringLiteral("value0")), RegValue::number(0));
        QCOMPARE(store.value(Root::CurrentUser, key, QStringLiteral("VALUE99999")), RegValue::number(99999));
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("Value50000"), RegValue::number(7)));
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("Extra"), RegValue::string(QStringLiteral("x"))));
        QVERIFY(store.deleteValue(Root::CurrentUser, key, QStringLiteral("Value1")));
        RegistryStore reader(m_dir->path());
        QCOMPARE(reader.value(Root::CurrentUser, key, QStringLiteral("Value50000")), RegValue::number(7));
        QCOMPARE(reader.value(Root::CurrentUser, key, QStringLiteral("Value49999")), RegValue::number(49999));
        QCOMPARE(reader.value(Root::CurrentUser, key, QStringLiteral("Value2")), RegValue::number(2));
        QVERIFY(!reader.value(Root::CurrentUser, key, QStringLiteral("Value1")));
        QCOMPARE(reader.value(Root::CurrentUser, key, QStringLiteral("extra")), RegValue::string(QStringLiteral("x")));
        QCOMPARE(fileLines(store.filePath(Root::CurrentUser)).filter(QStringLiteral("=dword:")).size(), Count - 1);
    }

    void fileIsRegistryEditorText()
    {
        const QString dir = m_dir->filePath(QStringLiteral("made/by/store"));
        RegistryStore store(dir);
        const QString key = QStringLiteral("Software\\Format");
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("Name"), RegValue::string(QStringLiteral("a \"b\" c:\\d"))));
        QVERIFY(store.setValue(Root::CurrentUser, key, QString(), RegValue::string(QStringLiteral("dflt"))));
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("Count"), RegValue::number(10)));
        const QString expandable = QString(40, u'A');
        QVERIFY(store.setValue(Root::CurrentUser, key, QStringLiteral("Path"), RegValue::expandString(expandable)));
        QVERIFY(store.createKey(Root::CurrentUser, QStringLiteral("Software\\Format\\Empty")));

        const QString path = store.filePath(Root::CurrentUser);
        QCOMPARE(path, dir + QStringLiteral("/HKEY_CURRENT_USER.reg"));
        const QStringList lines = fileLines(path);
        QVERIFY2(!lines.isEmpty(), "not UTF-16LE with a byte order mark");
        QCOMPARE(lines.value(0), QStringLiteral("Windows Registry Editor Version 5.00"));
        QCOMPARE(lines.value(1), QString());
        const qsizetype section = lines.indexOf(QStringLiteral("[HKEY_CURRENT_USER\\Software\\Format]"));
        QVERIFY(section > 0);
        QVERIFY(lines.contains(QStringLiteral("[HKEY_CURRENT_USER\\Software]")));
        QVERIFY(lines.contains(QStringLiteral("\"Name\"=\"a \\\"b\\\" c:\\\\d\"")));
        QVERIFY(lines.contains(QStringLiteral("@=\"dflt\"")));
        QVERIFY(lines.contains(QStringLiteral("\"Count\"=dword:0000000a")));
        const qsizetype empty = lines.indexOf(QStringLiteral("[HKEY_CURRENT_USER\\Software\\Format\\Empty]"));
        QVERIFY(empty > section);
        QCOMPARE(lines.value(empty + 1), QString());

        // The expandable text: UTF-16LE bytes with their NUL, over lines of at most 80 columns.
        const qsizetype first = lines.indexOf(QRegularExpression(QStringLiteral("^\"Path\"=hex\\(2\\):.*")));
        QVERIFY(first > 0);
        QString joined;
        for (qsizetype i = first;; ++i) {
            QVERIFY(lines[i].size() <= 80);
            if (i > first)
                QVERIFY(lines[i].startsWith(QStringLiteral("  ")));
            joined += lines[i].trimmed();
            if (!joined.endsWith(u'\\'))
                break;
            QVERIFY(joined.endsWith(QStringLiteral(",\\")));
            joined.chop(1);
        }
        QVERIFY(joined.count(u'\n') == 0);
        const QStringList bytes = joined.mid(joined.indexOf(u':') + 1).split(u',');
        QCOMPARE(bytes.size(), (expandable.size() + 1) * 2);
        QCOMPARE(bytes.first(), QStringLiteral("41"));
        QCOMPARE(bytes.mid(bytes.size() - 2), (QStringList{QStringLiteral("00"), QStringLiteral("00")}));

        QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QFile::permissions(dir) & 0x7077, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(store.flush(Root::CurrentUser));
    }

    void keysAndNamesIgnoreCase()
    {
        RegistryStore store(m_dir->path());
        QVERIFY(store.createKey(Root::LocalMachine, QStringLiteral("Software\\Vendor\\App\\")));
        QVERIFY(store.keyExists(Root::LocalMachine, QStringLiteral("SOFTWARE\\VENDOR\\app")));
        QVERIFY(store.keyExists(Root::LocalMachine, QStringLiteral("software\\vendor")));
        QVERIFY(store.setValue(Root::LocalMachine, QStringLiteral("software\\VENDOR\\app"), QStringLiteral("Level"), RegValue::number(1)));
        QVERIFY(store.setValue(Root::LocalMachine, QStringLiteral("Software\\Vendor\\App"), QStringLiteral("LEVEL"), RegValue::number(2)));
        QCOMPARE(store.value(Root::LocalMachine, QStringLiteral("SOFTWARE\\vendor\\APP"), QStringLiteral("level")),
                 RegValue::number(2));
        QCOMPARE(store.subKeys(Root::LocalMachine, QStringLiteral("SOFTWARE\\VENDOR")), QStringList{QStringLiteral("App")});

        const QStringList lines = fileLines(store.filePath(Root::LocalMachine));
        QVERIFY(lines.contains(QStringLiteral("[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]")));
        QVERIFY(lines.contains(QStringLiteral("\"Level\"=dword:00000002")));
        QVERIFY(!lines.join(u'\n').contains(QStringLiteral("LEVEL")));

        for (const QString &bad : {QStringLiteral("\\Software"), QStringLiteral("Software\\\\Vendor"),
                                  QStringLiteral("Soft\nware"), QString(256, u'k')}) {
            QVERIFY(!store.createKey(Root::LocalMachine, bad));
            QVERIFY(!store.setValue(Root::LocalMachine, bad, QStringLiteral("x"), RegValue::number(1)));
            QVERIFY(!store.keyExists(Root::LocalMachine, bad));
        }
    }

    void freshMachineIsSeeded()
    {
        // The default folder lies in this test's own XDG folders.
        RegistryStore store;
        QCOMPARE(store.filePath(Root::LocalMachine),
                 QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                     + QStringLiteral("/sendmere/HKEY_LOCAL_MACHINE.reg"));
        const QString shellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        QCOMPARE(store.value(Root::LocalMachine, shellFolders, QStringLiteral("Common AppData")),
                 RegValue::string(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                  + QStringLiteral("/sendmere")));
        QCOMPARE(store.value(Root::LocalMachine, QStringLiteral("Software\\Microsoft\\Fax\\Setup"),
                             QStringLiteral("ServerCoverPageDir")),
                 RegValue::string(QStringLiteral("coverpages")));
        QCOMPARE(store.value(Root::LocalMachine, QStringLiteral("SOFTWARE\\Clients\\Mail"), QString()),
                 RegValue::string(QString()));
        QCOMPARE(store.value(Root::LocalMachine, QStringLiteral("SOFTWARE\\Clients\\Mail\\Microsoft Outlook"), QString()),
                 RegValue::string(QStringLiteral("Sendmere mail store")));
        QCOMPARE(store.value(Root::CurrentUser, shellFolders, QStringLiteral("Personal")),
                 RegValue::string(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
        QCOMPARE(store.value(Root::CurrentUser, QStringLiteral("Software\\Microsoft\\Fax\\Setup"),
                             QStringLiteral("CoverPageDir")),
                 RegValue::string(QStringLiteral("Fax/Personal Coverpages")));
        QVERIFY(store.keyExists(Root::CurrentUser, QStringLiteral("Software\\Microsoft\\Fax\\UserInfo")));
        QVERIFY(QFile::exists(store.filePath(Root::LocalMachine)));
        QVERIFY(fileLines(store.filePath(Root::CurrentUser))
                    .contains(QStringLiteral("[HKEY_CURRENT_USER\\Software\\Microsoft\\Fax\\UserInfo]")));

        // Seeding happens once: a value the user removed stays removed.
        QVERIFY(store.deleteValue(Root::LocalMachine, QStringLiteral("Software\\Microsoft\\Fax\\Setup"),
                                  QStringLiteral("ServerCoverPageDir")));
        QVERIFY(!RegistryStore().value(Root::LocalMachine, QStringLiteral("Software\\Microsoft\\Fax\\Setup"),
                                       QStringLiteral("ServerCoverPageDir")));
    }

    void damagedFileKeepsWhatCanBeRead()
    {
        const QString path = m_dir->path() + QStringLiteral("/HKEY_CURRENT_USER.reg");
        const QByteArray damaged = utf16WithBom(QStringLiteral(
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Good]\r\n"
            "\"Kept\"=\"yes\"\r\n"
            "\"Broken\"=\"no closing quote\r\n"
            "garbage line\r\n"
            "[HKEY_CURRENT_USER\\Software\\Also good]\r\n"
            "\"Number\"=dword:00000005\r\n"
            "\"Cut\"=hex(2):41,00,\\\r\n"));
        writeBytes(path, damaged);

        RegistryStore store(m_dir->path());
        const QString pattern = QRegularExpression::escape(path);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + QStringLiteral(", line 5: ")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + QStringLiteral(", line 6: ")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + QStringLiteral(", line 9: ")));
        QCOMPARE(store.value(Root::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("Kept")),
                 RegValue::string(QStringLiteral("yes")));
        QCOMPARE(store.value(Root::CurrentUser, QStringLiteral("Software\\Also good"), QStringLiteral("Number")),
                 RegValue::number(5));
        QVERIFY(!store.value(Root::CurrentUser, QStringLiteral("Software\\Also good"), QStringLiteral("Cut")));

        // The next write keeps the damaged file aside, byte for byte, and saves a clean one.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kept a copy as ")));
        QVERIFY(store.setValue(Root::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("Added"),
                               RegValue::number(1)));
        const QStringList copies = QDir(m_dir->path()).entryList({QStringLiteral("HKEY_CURRENT_USER.reg.corrupt-*")});
        QCOMPARE(copies.size(), 1);
        QVERIFY(QRegularExpression(QStringLiteral("^HKEY_CURRENT_USER\\.reg\\.corrupt-\\d{14}$")).match(copies[0]).hasMatch());
        QCOMPARE(readAll(m_dir->filePath(copies[0])), damaged);
        QVERIFY(parseRegFile(readAll(path), QStringLiteral("HKEY_CURRENT_USER")).problems.isEmpty());
        RegistryStore reader(m_dir->path());  // the clean file kept what could be read
        QCOMPARE(reader.value(Root::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("Kept")), RegValue::string(QStringLiteral("yes")));
        QCOMPARE(reader.value(Root::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("Added")), RegValue::number(1));

        // Damaged again within the same second: a second copy, the first one untouched.
        writeBytes(path, QByteArray("\xFF\xFE\x00", 3));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + QStringLiteral(": the file holds bytes")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + QStringLiteral(", line 1: ")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kept a copy as ")));
        QVERIFY(store.setValue(Root::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("Again"),
                               RegValue::number(2)));
        const QStringList after = QDir(m_dir->path()).entryList({QStringLiteral("HKEY_CURRENT_USER.reg.corrupt-*")});
        QCOMPARE(after.size(), 2);
        QCOMPARE(readAll(m_dir->filePath(copies[0])), damaged);
    }

    void concurrentProcessesLoseNoValue()
    {
        QList<std::shared_ptr<QProcess>> writers;
        for (const QString &id : {QStringLiteral("a"), QStringLiteral("b")}) {
            auto process = std::make_shared<QProcess>();
            process->setProcessChannelMode(QProcess::ForwardedChannels);
            process->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--writer"), m_dir->path(), id});
            writers.append(process);
        }
        for (const auto &process : writers) {
            QVERIFY(process->waitForFinished(120000));
            QCOMPARE(process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(process->exitCode(), 0);
        }
        RegistryStore store(m_dir->path());
        for (const QString &id : {QStringLiteral("a"), QStringLiteral("b")}) {
            for (int n = 0; n < kWritesPerProcess; ++n)
                QCOMPARE(store.value(Root::CurrentUser, kRaceKey, id + QString::number(n)), RegValue::number(quint32(n)));
        }
        QVERIFY(!QFile::exists(store.filePath(Root::CurrentUser) + QStringLiteral(".lock")));
    }

    void lockOfAKilledProcessIsTakenOver()
    {
        RegistryStore store(m_dir->path());
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--hold-lock"), store.filePath(Root::CurrentUser) + QStringLiteral(".lock")});
        QVERIFY(holder.waitForReadyRead(30000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));
        holder.kill();
        QVERIFY(holder.waitForFinished(30000));
        QVERIFY(QFile::exists(store.filePath(Root::CurrentUser) + QStringLiteral(".lock")));
        QVERIFY(store.setValue(Root::CurrentUser, QStringLiteral("Software\\After"), QStringLiteral("v"),
                               RegValue::number(1)));
        QCOMPARE(RegistryStore(m_dir->path()).value(Root::CurrentUser, QStringLiteral("Software\\After"),
                                                    QStringLiteral("v")),
                 RegValue::number(1));
    }

    void tiffViewerComesFromTheDesktop()
    {
        // The system's own associations stay out of this test.
        const QString configDirs = m_dir->filePath(QStringLiteral("etc-xdg"));
        const QString dataDirs = m_dir->filePath(QStringLiteral("usr-share"));
        qputenv("XDG_CONFIG_DIRS", configDirs.toUtf8());
        qputenv("XDG_DATA_DIRS", dataDirs.toUtf8());
        const QString mimeApps = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/mimeapps.list");
        const QString userApps = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
        const QString systemApps = dataDirs + QStringLiteral("/applications");

        RegistryStore store(m_dir->filePath(QStringLiteral("store")));
        QVERIFY(!store.keyExists(Root::ClassesRoot, QStringLiteral(".tiff")));
        QVERIFY(!store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()));

        writeBytes(mimeApps, "[Default Applications]\nimage/tiff=missing.desktop;test-viewer.desktop;\n");
        writeBytes(userApps + QStringLiteral("/test-viewer.desktop"),
                   "[Desktop Entry]\nType=Application\nName=Viewer\nExec=tiffview --page 1 %F\n");
        QCOMPARE(store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()),
                 RegValue::string(QStringLiteral("test-viewer")));
        QCOMPARE(store.value(Root::ClassesRoot, QStringLiteral("test-viewer\\shell\\open\\command"), QString()),
                 RegValue::string(QStringLiteral("tiffview --page 1 \"%1\"")));
        QVERIFY(store.keyExists(Root::ClassesRoot, QStringLiteral("TEST-VIEWER\\shell")));
        QVERIFY(store.subKeys(Root::ClassesRoot, QString()).contains(QStringLiteral(".tiff")));
        QVERIFY(!fileLines(store.filePath(Root::ClassesRoot)).join(u'\n').contains(QStringLiteral("tiff")));

        // A value held in the file wins over the desktop's answer.
        QVERIFY(store.setValue(Root::ClassesRoot, QStringLiteral(".tiff"), QString(), RegValue::string(QStringLiteral("Mine"))));
        QCOMPARE(store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()), RegValue::string(QStringLiteral("Mine")));
        QVERIFY(store.deleteValue(Root::ClassesRoot, QStringLiteral(".tiff"), QString()));

        // Without a default, the system's MIME cache names the program; a hidden entry does not count.
        QVERIFY(QFile::remove(mimeApps));
        writeBytes(systemApps + QStringLiteral("/mimeinfo.cache"),
                   "[MIME Cache]\nimage/tiff=hidden.desktop;vendor-pics.desktop;\n");
        writeBytes(systemApps + QStringLiteral("/hidden.desktop"),
                   "[Desktop Entry]\nType=Application\nHidden=true\nExec=hidden %f\n");
        writeBytes(systemApps + QStringLiteral("/vendor/pics.desktop"),
                   "[Desktop Entry]\nType=Application\nExec=pics %u --new\n");
        QCOMPARE(store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()),
                 RegValue::string(QStringLiteral("vendor-pics")));
        QCOMPARE(store.value(Root::ClassesRoot, QStringLiteral("vendor-pics\\shell\\open\\command"), QString()),
                 RegValue::string(QStringLiteral("pics \"%1\" --new")));

        QVERIFY(QDir(systemApps).removeRecursively());
        QVERIFY(!store.value(Root::ClassesRoot, QStringLiteral(".tiff"), QString()));
        QVERIFY(!store.keyExists(Root::ClassesRoot, QStringLiteral("vendor-pics\\shell\\open\\command")));
        QVERIFY(!store.value(Root::ClassesRoot, QStringLiteral("test-viewer\\shell\\open\\command"), QString()));
        QVERIFY(store.keyExists(Root::ClassesRoot, QStringLiteral(".tiff")));  // created by the write above
    }

private:
    std::optional<QTemporaryDir> m_dir;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0)
        return holdLock(QString::fromLocal8Bit(argv[2]));
    TestRegistryStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registrystore.moc"

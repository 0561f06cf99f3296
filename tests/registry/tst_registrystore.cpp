// The registry store against real files: what it writes and reads back, damaged files, several processes, the desktop's settings.
#include "RegHive.h"
#include "RegistryStore.h"
#include "TestSupport.h"

#include <QtCore>
#include <QTest>
#include <cstdio>

using namespace sendmere::registry;
using namespace Qt::StringLiterals;
using sendmere::test::readFile;
using sendmere::test::writeFile;

namespace {

constexpr int kWritesPerProcess = 200;
constexpr Root HKCU = Root::CurrentUser;
const QString kRaceKey = u"Software\\Race"_s;

QStringList fileLines(const QString &path) {
    const QByteArray bytes = readFile(path);
    if (!bytes.startsWith("\xFF\xFE")) return {};
    return QString(QStringDecoder(QStringConverter::Utf16LE)(bytes.mid(2))).split(u"\r\n"_s);
}

// A writer process: one value after another into the same file as its twin.
int runWriter(const QString &directory, const QString &id) {
    RegistryStore store(directory);
    for (int n = 0; n < kWritesPerProcess; ++n)
        if (!store.setValue(HKCU, kRaceKey, id + QString::number(n), RegValue::number(quint32(n)))) return 1;
    return 0;
}

// A process that takes a file's lock and never lets it go.
int holdLock(const QString &lockPath) {
    QLockFile lock(lockPath);
    if (!lock.tryLock(0)) return 1;
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

    // Every type the store keeps, through the file; a string ends at its first NUL for every reader, so one inside is refused and the value
    // stays.
    void valuesSurviveTheFile() {
        const QString key = u"Software\\Test"_s, withNul = u"ab"_s + QChar(0) + u"cd"_s;
        const std::pair<QString, RegValue> values[] = {
            {u"Empty"_s, RegValue::string({})}, {u"One"_s, RegValue::string(u"x"_s)},
            {u"Quotes \"and\" \\slashes\\"_s, RegValue::string(u"say \"hi\" C:\\dir\\"_s)},
            {u"Unicode"_s, RegValue::string(u"Grüße – 東京 \U0001F600"_s)}, {u"Lines"_s, RegValue::string(u"first\r\nsecond\n"_s)},
            {QString(), RegValue::string(u"default"_s)},
            {u"Expand"_s, RegValue::expandString(u"%SystemRoot%\\system32\\"_s + QString(120, u'x'))},
            {u"Zero"_s, RegValue::number(0)}, {u"Max"_s, RegValue::number(0xFFFFFFFFu)}};
        RegistryStore writer(m_dir->path());
        for (const auto &[name, value] : values) QVERIFY(writer.setValue(HKCU, key, name, value));
        QVERIFY(!writer.setValue(HKCU, key, u"One"_s, RegValue::string(withNul)));
        QVERIFY(!writer.setValue(HKCU, key, u"E"_s, RegValue::expandString(withNul)));
        RegistryStore reader(m_dir->path());  // a fresh cache: everything comes from the file
        for (const auto &[name, value] : values) QCOMPARE(reader.value(HKCU, key, name), value);
        QVERIFY(!reader.value(HKCU, key, u"Missing"_s) && !reader.value(HKCU, key, u"E"_s));
        QVERIFY(writer.deleteValue(HKCU, key, u"one"_s) && !writer.deleteValue(HKCU, key, u"One"_s));
        QVERIFY(!RegistryStore(m_dir->path()).value(HKCU, key, u"One"_s));
    }

    // A hand-written file of 100,000 values under one key: every value reads back and one more write keeps them all (reading it took 43 s
    // when each value searched the others).
    void manyValuesUnderOneKey() {
        constexpr int Count = 100000;
        QString text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Big]\r\n"_s;
        for (int n = 0; n < Count; ++n) text += u"\"Value%1\"=dword:%2\r\n"_s.arg(n).arg(n, 8, 16, QChar(u'0'));
        RegistryStore store(m_dir->path());
        writeFile(store.filePath(HKCU), sendmere::test::utf16WithBom(text));
        const QString key = u"Software\\Big"_s;
        QVERIFY(store.value(HKCU, key, u"value0"_s) == RegValue::number(0) && store.value(HKCU, key, u"VALUE99999"_s) == RegValue::number(99999));
        QVERIFY(store.setValue(HKCU, key, u"Value50000"_s, RegValue::number(7)) && store.setValue(HKCU, key, u"Extra"_s, RegValue::string(u"x"_s)));
        QVERIFY(store.deleteValue(HKCU, key, u"Value1"_s));
        RegistryStore reader(m_dir->path());
        for (const auto &[name, value] : {std::pair{u"Value50000"_s, 7u}, {u"Value49999"_s, 49999u}, {u"Value2"_s, 2u}})
            QCOMPARE(reader.value(HKCU, key, name), RegValue::number(value));
        QVERIFY(!reader.value(HKCU, key, u"Value1"_s) && reader.value(HKCU, key, u"extra"_s) == RegValue::string(u"x"_s));
        QCOMPARE(fileLines(store.filePath(HKCU)).filter(u"=dword:"_s).size(), Count - 1);
    }

    void fileIsRegistryEditorText() {
        const QString dir = m_dir->filePath(u"made/by/store"_s), key = u"Software\\Format"_s;
        RegistryStore store(dir);
        QVERIFY(store.setValue(HKCU, key, u"Name"_s, RegValue::string(u"a \"b\" c:\\d"_s)) && store.setValue(HKCU, key, QString(), RegValue::string(u"dflt"_s)));
        QVERIFY(store.setValue(HKCU, key, u"Count"_s, RegValue::number(10)) && store.setValue(HKCU, key, u"Path"_s, RegValue::expandString(QString(40, u'A'))));
        QVERIFY(store.createKey(HKCU, u"Software\\Format\\Empty"_s));
        const QString path = store.filePath(HKCU);
        QCOMPARE(path, dir + u"/HKEY_CURRENT_USER.reg"_s);
        const QStringList lines = fileLines(path);  // empty unless UTF-16LE with a byte order mark
        QCOMPARE(lines.mid(0, 2), (QStringList{u"Windows Registry Editor Version 5.00"_s, QString()}));
        const qsizetype section = lines.indexOf(u"[HKEY_CURRENT_USER\\Software\\Format]"_s);
        QVERIFY(section > 0 && lines.contains(u"[HKEY_CURRENT_USER\\Software]"_s));
        for (const QString &line : {u"\"Name\"=\"a \\\"b\\\" c:\\\\d\""_s, u"@=\"dflt\""_s, u"\"Count\"=dword:0000000a"_s})
            QVERIFY2(lines.contains(line), qPrintable(line));
        const qsizetype empty = lines.indexOf(u"[HKEY_CURRENT_USER\\Software\\Format\\Empty]"_s);
        QVERIFY(empty > section && lines.value(empty + 1).isEmpty());
        // The expandable text: UTF-16LE bytes with their NUL, over lines of at most 80 columns.
        qsizetype i = lines.indexOf(QRegularExpression(u"^\"Path\"=hex\\(2\\):.*"_s));
        QVERIFY(i > 0 && lines[i].size() <= 80);
        QString joined = lines[i];
        while (joined.endsWith(u",\\"_s)) {
            joined.chop(1);
            QVERIFY(lines[++i].startsWith(u"  "_s) && lines[i].size() <= 80);
            joined += lines[i].trimmed();
        }
        QCOMPARE(joined.mid(joined.indexOf(u':') + 1), u"41,00,"_s.repeated(40) + u"00,00"_s);
        QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QFile::permissions(dir) & 0x7077, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(store.flush(HKCU));
    }

    void keysAndNamesIgnoreCase() {
        RegistryStore store(m_dir->path());
        const Root hklm = Root::LocalMachine;
        QVERIFY(store.createKey(hklm, u"Software\\Vendor\\App\\"_s));
        QVERIFY(store.keyExists(hklm, u"SOFTWARE\\VENDOR\\app"_s) && store.keyExists(hklm, u"software\\vendor"_s));
        QVERIFY(store.setValue(hklm, u"software\\VENDOR\\app"_s, u"Level"_s, RegValue::number(1)) &&
                store.setValue(hklm, u"Software\\Vendor\\App"_s, u"LEVEL"_s, RegValue::number(2)));
        QCOMPARE(store.value(hklm, u"SOFTWARE\\vendor\\APP"_s, u"level"_s), RegValue::number(2));
        QCOMPARE(store.subKeys(hklm, u"SOFTWARE\\VENDOR"_s), QStringList{u"App"_s});
        const QStringList lines = fileLines(store.filePath(hklm));
        QVERIFY(lines.contains(u"[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]"_s) && lines.contains(u"\"Level\"=dword:00000002"_s));
        QVERIFY(!lines.join(u'\n').contains(u"LEVEL"_s));  // the first spelling stays
        for (const QString &bad : {u"\\Software"_s, u"Software\\\\Vendor"_s, u"Soft\nware"_s, QString(256, u'k')}) {
            QVERIFY(!store.createKey(hklm, bad) && !store.keyExists(hklm, bad));
            QVERIFY(!store.setValue(hklm, bad, u"x"_s, RegValue::number(1)));
        }
    }

    void freshMachineIsSeeded() {
        RegistryStore store;  // the default folder lies in this test's own XDG folders
        QCOMPARE(store.filePath(Root::LocalMachine),
                 QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/HKEY_LOCAL_MACHINE.reg"_s);
        const QString shellFolders = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"_s;
        const QString setup = u"Software\\Microsoft\\Fax\\Setup"_s;
        const struct { Root root; QString key, name, value; } seeded[] = {
            {Root::LocalMachine, shellFolders, u"Common AppData"_s,
             QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere"_s},
            {Root::LocalMachine, setup, u"ServerCoverPageDir"_s, u"coverpages"_s},
            {Root::LocalMachine, u"SOFTWARE\\Clients\\Mail"_s, QString(), QString()},
            {Root::LocalMachine, u"SOFTWARE\\Clients\\Mail\\Microsoft Outlook"_s, QString(), u"Sendmere mail store"_s},
            {HKCU, shellFolders, u"Personal"_s, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)},
            {HKCU, setup, u"CoverPageDir"_s, u"Fax/Personal Coverpages"_s},
        };
        for (const auto &row : seeded) QCOMPARE(store.value(row.root, row.key, row.name), RegValue::string(row.value));
        QVERIFY(store.keyExists(HKCU, u"Software\\Microsoft\\Fax\\UserInfo"_s) && QFile::exists(store.filePath(Root::LocalMachine)));
        QVERIFY(fileLines(store.filePath(HKCU)).contains(u"[HKEY_CURRENT_USER\\Software\\Microsoft\\Fax\\UserInfo]"_s));
        // Seeding happens once: a value the user removed stays removed.
        QVERIFY(store.deleteValue(Root::LocalMachine, setup, u"ServerCoverPageDir"_s));
        QVERIFY(!RegistryStore().value(Root::LocalMachine, setup, u"ServerCoverPageDir"_s));
    }

    void damagedFileKeepsWhatCanBeRead() {
        const QString path = m_dir->path() + u"/HKEY_CURRENT_USER.reg"_s, pattern = QRegularExpression::escape(path);
        const QByteArray damaged = sendmere::test::utf16WithBom(
            u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Good]\r\n\"Kept\"=\"yes\"\r\n"
            "\"Broken\"=\"no closing quote\r\ngarbage line\r\n[HKEY_CURRENT_USER\\Software\\Also good]\r\n"
            "\"Number\"=dword:00000005\r\n\"Wide\"=hex(2):141,00,00,00\r\n\"Cut\"=hex(2):41,00,\\\r\n"_s);
        writeFile(path, damaged);
        RegistryStore store(m_dir->path());
        for (const int line : {5, 6, 9, 10}) QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern + u", line %1: "_s.arg(line)));
        QCOMPARE(store.value(HKCU, u"Software\\Good"_s, u"Kept"_s), RegValue::string(u"yes"_s));
        QCOMPARE(store.value(HKCU, u"Software\\Also good"_s, u"Number"_s), RegValue::number(5));
        QVERIFY(!store.value(HKCU, u"Software\\Also good"_s, u"Cut"_s));
        QVERIFY(!store.value(HKCU, u"Software\\Also good"_s, u"Wide"_s));  // a byte is two hex digits

        // The next write keeps the damaged file aside, byte for byte, and saves a clean one.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"kept a copy as "_s));
        QVERIFY(store.setValue(HKCU, u"Software\\Good"_s, u"Added"_s, RegValue::number(1)));
        const QStringList copies = QDir(m_dir->path()).entryList({u"HKEY_CURRENT_USER.reg.corrupt-*"_s});
        QCOMPARE(copies.size(), 1);
        QVERIFY(QRegularExpression(u"^HKEY_CURRENT_USER\\.reg\\.corrupt-\\d{14}$"_s).match(copies[0]).hasMatch());
        QCOMPARE(readFile(m_dir->filePath(copies[0])), damaged);
        QVERIFY(parseRegFile(readFile(path), u"HKEY_CURRENT_USER"_s).problems.isEmpty());
        // The older editor's header, in plain text, is read as well.
        QVERIFY(parseRegFile("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Old]\r\n\"Name\"=\"value\"\r\n", u"HKEY_CURRENT_USER"_s)
                    .problems.isEmpty());
        RegistryStore reader(m_dir->path());  // the clean file kept what could be read
        QVERIFY(reader.value(HKCU, u"Software\\Good"_s, u"Kept"_s) == RegValue::string(u"yes"_s) &&
                reader.value(HKCU, u"Software\\Good"_s, u"Added"_s) == RegValue::number(1));

        // Damaged again within the same second: a second copy, the first one untouched.
        writeFile(path, QByteArray("\xFF\xFE\x00", 3));
        for (const QString &warning : {pattern + u": the file holds bytes"_s, pattern + u", line 1: "_s, u"kept a copy as "_s})
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        QVERIFY(store.setValue(HKCU, u"Software\\Good"_s, u"Again"_s, RegValue::number(2)));
        QCOMPARE(QDir(m_dir->path()).entryList({u"HKEY_CURRENT_USER.reg.corrupt-*"_s}).size(), 2);
        QCOMPARE(readFile(m_dir->filePath(copies[0])), damaged);
    }

    // Two writer processes lose no value; the lock of a killed process is taken over.
    void otherProcesses() {
        QList<std::shared_ptr<QProcess>> writers;
        for (const QString &id : {u"a"_s, u"b"_s}) {
            writers << std::make_shared<QProcess>();
            writers.last()->setProcessChannelMode(QProcess::ForwardedChannels);
            writers.last()->start(QCoreApplication::applicationFilePath(), {u"--writer"_s, m_dir->path(), id});
        }
        for (const auto &process : writers) {
            QVERIFY(process->waitForFinished(120000));
            QVERIFY(process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0);
        }
        RegistryStore store(m_dir->path());
        for (const QString &id : {u"a"_s, u"b"_s})
            for (int n = 0; n < kWritesPerProcess; ++n)
                QCOMPARE(store.value(HKCU, kRaceKey, id + QString::number(n)), RegValue::number(quint32(n)));
        const QString lock = store.filePath(HKCU) + u".lock"_s;
        QVERIFY(!QFile::exists(lock));
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {u"--hold-lock"_s, lock});
        QVERIFY(holder.waitForReadyRead(30000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));
        holder.kill();
        QVERIFY(holder.waitForFinished(30000) && QFile::exists(lock));
        QVERIFY(store.setValue(HKCU, u"Software\\After"_s, u"v"_s, RegValue::number(1)));
        QCOMPARE(RegistryStore(m_dir->path()).value(HKCU, u"Software\\After"_s, u"v"_s), RegValue::number(1));
    }

    void tiffViewerComesFromTheDesktop() {  // the system's own associations stay out of this test
        const QString dataDirs = m_dir->filePath(u"usr-share"_s), systemApps = dataDirs + u"/applications"_s;
        qputenv("XDG_CONFIG_DIRS", m_dir->filePath(u"etc-xdg"_s).toUtf8());
        qputenv("XDG_DATA_DIRS", dataDirs.toUtf8());
        const QString mimeApps = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/mimeapps.list"_s;
        const QString userApps = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
        const Root hkcr = Root::ClassesRoot;
        RegistryStore store(m_dir->filePath(u"store"_s));
        QVERIFY(!store.keyExists(hkcr, u".tiff"_s) && !store.value(hkcr, u".tiff"_s, QString()));
        writeFile(mimeApps, "[Default Applications]\nimage/tiff=missing.desktop;test-viewer.desktop;\n");
        writeFile(userApps + u"/test-viewer.desktop"_s, "[Desktop Entry]\nType=Application\nName=Viewer\nExec=tiffview --page 1 %F\n");
        QCOMPARE(store.value(hkcr, u".tiff"_s, QString()), RegValue::string(u"test-viewer"_s));
        QCOMPARE(store.value(hkcr, u"test-viewer\\shell\\open\\command"_s, QString()), RegValue::string(u"tiffview --page 1 \"%1\""_s));
        QVERIFY(store.keyExists(hkcr, u"TEST-VIEWER\\shell"_s) && store.subKeys(hkcr, QString()).contains(u".tiff"_s));
        QVERIFY(!fileLines(store.filePath(hkcr)).join(u'\n').contains(u"tiff"_s));
        // A value held in the file wins over the desktop's answer.
        QVERIFY(store.setValue(hkcr, u".tiff"_s, QString(), RegValue::string(u"Mine"_s)));
        QVERIFY(store.value(hkcr, u".tiff"_s, QString()) == RegValue::string(u"Mine"_s) && store.deleteValue(hkcr, u".tiff"_s, QString()));

        // Without a default, the system's MIME cache names the program; a hidden entry does not count.
        QVERIFY(QFile::remove(mimeApps));
        writeFile(systemApps + u"/mimeinfo.cache"_s, "[MIME Cache]\nimage/tiff=hidden.desktop;vendor-pics.desktop;\n");
        writeFile(systemApps + u"/hidden.desktop"_s, "[Desktop Entry]\nType=Application\nHidden=true\nExec=hidden %f\n");
        writeFile(systemApps + u"/vendor/pics.desktop"_s, "[Desktop Entry]\nType=Application\nExec=pics %u --new\n");
        QCOMPARE(store.value(hkcr, u".tiff"_s, QString()), RegValue::string(u"vendor-pics"_s));
        QCOMPARE(store.value(hkcr, u"vendor-pics\\shell\\open\\command"_s, QString()), RegValue::string(u"pics \"%1\" --new"_s));

        QVERIFY(QDir(systemApps).removeRecursively());
        QVERIFY(!store.value(hkcr, u".tiff"_s, QString()) && !store.keyExists(hkcr, u"vendor-pics\\shell\\open\\command"_s) &&
                !store.value(hkcr, u"test-viewer\\shell\\open\\command"_s, QString()));
        QVERIFY(store.keyExists(hkcr, u".tiff"_s));  // created by the write above
    }

private:
    std::optional<QTemporaryDir> m_dir;
};

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--writer") == 0) return runWriter(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0) return holdLock(QString::fromLocal8Bit(argv[2]));
    TestRegistryStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registrystore.moc"

// The credentials file: which entry a host and login get, and that a file others can read is refused.
#include "Netrc.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sendmere::registry;

class TestNetrc : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entriesByHostAndLogin() {
        // As people write it: several entries on a line, tabs, a macro holding entry-like words, a default.
        const QString text = QStringLiteral(
            "machine fax.example login fax password secret1 account adminpw\n"
            "machine\tmail.example\n  login ann\n  password annpass\n"
            "machine mail.example login bob password bobpass\n"
            "macdef init\nmachine evil.example login x password y\n\n"
            "machine open.example password nologin\n"
            "machine admin.example account onlyadmin login op\n"
            "default login anonymous password guest\n");
        const struct { const char *host, *login, *expected; } rows[] = {
            {"fax.example", "", "fax:secret1/adminpw"}, {"FAX.example", "fax", "fax:secret1/adminpw"},
            {"mail.example", "bob", "bob:bobpass"},     {"mail.example", "", "ann:annpass"},
            {"open.example", "carl", ":nologin"},       {"evil.example", "", "anonymous:guest"},
            {"mail.example", "carl", "-"},              {"admin.example", "op", "op:/onlyadmin"}};
        for (const auto &row : rows) {
            const auto found = parseNetrc(text, QLatin1String(row.host), QLatin1String(row.login));
            const QString account = found && !found->account.isEmpty() ? u'/' + found->account : QString();
            QCOMPARE(found ? found->login + u':' + found->password + account : QStringLiteral("-"), QLatin1String(row.expected));
        }
        QVERIFY(!parseNetrc(QStringLiteral("machine a login b password c"), QStringLiteral("z")));
    }

    void onlyAPrivateFileIsRead() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("netrc"));
        QVERIFY(!lookupNetrc("h", {}, path).credentials && lookupNetrc("h", {}, path).error.isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("machine h login u password p\n") > 0);
        file.close();
        for (auto mode : {QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther}) {
            QVERIFY(file.setPermissions(mode));
            const NetrcLookup refused = lookupNetrc("h", {}, path);
            QVERIFY2(!refused.credentials && refused.error.contains(QLatin1String("chmod 600")), qPrintable(refused.error));
        }
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const NetrcLookup read = lookupNetrc("h", {}, path);
        QVERIFY2(read.error.isEmpty() && read.credentials, qPrintable(read.error));
        QCOMPARE(read.credentials->password, QStringLiteral("p"));
        QVERIFY(!lookupNetrc("h", {}, dir.path()).error.isEmpty());  // a folder is no credentials file
    }
};

QTEST_GUILESS_MAIN(TestNetrc)
#include "tst_netrc.moc"

// The credentials file: which entry a host and login get, and that a file others can read is
// refused.
#include "Netrc.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sendmere::registry;

class TestNetrc : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entriesByHostAndLogin()
    {
        // Written as people write it: several entries on one line, tabs, a macro with words
        // that look like entries, a default at the end.
        const QString text = QStringLiteral(
            "machine fax.example login fax password secret1 account adminpw\n"
            "machine\tmail.example\n  login ann\n  password annpass\n"
            "machine mail.example login bob password bobpass\n"
            "macdef init\nmachine evil.example login x password y\n\n"
            "machine open.example password nologin\n"
            "machine admin.example account onlyadmin login op\n"
            "default login anonymous password guest\n");
        auto pick = [&](const QString &host, const QString &login) {
            const auto found = parseNetrc(text, host, login);
            if (!found)
                return QStringLiteral("-");
            const QString account = found->account.isEmpty() ? QString() : QLatin1Char('/') + found->account;
            return found->login + QLatin1Char(':') + found->password + account;
        };
        QCOMPARE(pick("fax.example", {}), QStringLiteral("fax:secret1/adminpw"));
        QCOMPARE(pick("FAX.example", "fax"), QStringLiteral("fax:secret1/adminpw"));
        QCOMPARE(pick("mail.example", "bob"), QStringLiteral("bob:bobpass"));
        QCOMPARE(pick("mail.example", {}), QStringLiteral("ann:annpass"));
        QCOMPARE(pick("open.example", "carl"), QStringLiteral(":nologin"));
        QCOMPARE(pick("evil.example", {}), QStringLiteral("anonymous:guest"));
        QCOMPARE(pick("mail.example", "carl"), QStringLiteral("-"));
        QCOMPARE(pick("admin.example", "op"), QStringLiteral("op:/onlyadmin"));
        QCOMPARE(parseNetrc(QStringLiteral("machine a login b password c"), "z").has_value(), false);
    }

    void onlyAPrivateFileIsRead()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("netrc");
        QVERIFY(!lookupNetrc("h", {}, path).credentials && lookupNetrc("h", {}, path).error.isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("machine h login u password p\n");
        file.close();
        for (auto mode : {QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther}) {
            QVERIFY(file.setPermissions(mode));
            const NetrcLookup refused = lookupNetrc("h", {}, path);
            QVERIFY(!refused.credentials);
            QVERIFY2(refused.error.contains(QLatin1String("chmod 600")), qPrintable(refused.error));
        }
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const NetrcLookup read = lookupNetrc("h", {}, path);
        QVERIFY2(read.error.isEmpty(), qPrintable(read.error));
        QCOMPARE(read.credentials->password, QStringLiteral("p"));
        QVERIFY(!lookupNetrc("h", {}, dir.path()).error.isEmpty());  // a folder is no credentials file
    }
};

QTEST_GUILESS_MAIN(TestNetrc)
#include "tst_netrc.moc"

#pragma once
// Runs the benchmark once more inside dbus-run-session, so that no user's fax service is
// touched; with a fresh home, no user's spool either. Returns that run's exit code, or -1 in
// the run inside.
#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

inline int rerunOnPrivateBus(int argc, char *argv[], bool freshHome)
{
    if (!qEnvironmentVariableIsEmpty("SENDMERE_BENCH_ON_PRIVATE_BUS"))
        return -1;
    QTemporaryDir root;
    if (freshHome)
        for (const char *dir : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "HOME"})
            qputenv(dir, (root.path() + u'/' + QString::fromLatin1(dir)).toUtf8());
    qputenv("SENDMERE_BENCH_ON_PRIVATE_BUS", "1");
    QStringList args{QStringLiteral("--"), QString::fromLocal8Bit(argv[0])};
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return QProcess::execute(QStringLiteral("dbus-run-session"), args);
}

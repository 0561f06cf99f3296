#pragma once
// The commands of sendmere-fax. Each returns the process exit code; failures of the fax
// service come back as AutomationError and are reported by run().
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <QVariantMap>
#include <memory>

namespace sendmere::fax {
class FaxServer;
}

namespace sendmere::console {

struct Arguments {
    QStringList positional;
    QMap<QString, QString> options;  // "--to" -> "5550100"; flags map to ""
    bool has(const QString &option) const { return options.contains(option); }
    QString value(const QString &option) const { return options.value(option); }
};

// Splits argv after the command word; raises UsageError on an unknown option.
Arguments parseArguments(const QStringList &args);

class FaxConsole {
public:
    FaxConsole(QTextStream &out, QTextStream &err);
    ~FaxConsole();
    int run(const QStringList &arguments);  // arguments without the program name

private:
    int dispatch(const QString &command, const Arguments &args);
    int send(const Arguments &args);
    int list(const Arguments &args);
    int show(const Arguments &args);
    int cancel(const Arguments &args);
    int remove(const Arguments &args);
    int tiff(const Arguments &args);
    int devices(const Arguments &args);
    int ring(const Arguments &args);
    int answer(const Arguments &args);
    int watch(const Arguments &args);
    void connectServer();
    void printRecords(const QList<QVariantMap> &records, const QStringList &columns, bool json);
    int usage(const QString &problem);

    QTextStream &m_out;
    QTextStream &m_err;
    std::unique_ptr<fax::FaxServer> m_server;
};

}  // namespace sendmere::console

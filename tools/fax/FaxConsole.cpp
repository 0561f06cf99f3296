#include "FaxConsole.h"

#include "FaxConsoleArguments.h"
#include "platform/fax/FaxClient.h"

#include <QMap>
#include <algorithm>

namespace sendmere::console {

namespace {

using fax::FaxServer;

// Each command's synopsis, in the order the full usage lists them.
const QList<std::pair<QString, QString>> Synopses{
    {QStringLiteral("send"), QStringLiteral("send --to NUMBER [--name NAME] [--cover TEMPLATE] [--subject TEXT] [--note TEXT]\n"
                                            "       [--at TIME|--discount] [--priority low|normal|high] [FILE]")},
    {QStringLiteral("list"), QStringLiteral("list queue|sent|received [--json]")},
    {QStringLiteral("show"), QStringLiteral("show ID [--json]")},
    {QStringLiteral("cancel"), QStringLiteral("cancel ID")},
    {QStringLiteral("delete"), QStringLiteral("delete sent|received ID")},
    {QStringLiteral("tiff"), QStringLiteral("tiff ID PATH")},
    {QStringLiteral("devices"), QStringLiteral("devices [--json]")},
    {QStringLiteral("ring"), QStringLiteral("ring --from NUMBER FILE")},
    {QStringLiteral("answer"), QStringLiteral("answer")},
    {QStringLiteral("watch"), QStringLiteral("watch [--json] [--count N]")}};

QString usageText()
{
    QString text = QStringLiteral("usage: sendmere-fax COMMAND [OPTIONS]\n"
                                  "       sendmere-fax --help | --version\n");
    for (const auto &[command, synopsis] : Synopses)
        text += QStringLiteral("  ") + synopsis + u'\n';
    text += QStringLiteral("Options take their value as the next word or after \"=\" (--to=5550100); \"--\" ends the options.\n"
                           "COMMAND --help shows that command's synopsis. See sendmere-fax(1).\n");
    return text;
}

bool isHelp(const QString &arg)
{
    return arg == QStringLiteral("--help") || arg == QStringLiteral("-h");
}

}  // namespace

FaxConsole::FaxConsole(QTextStream &out, QTextStream &err) : m_out(out), m_err(err) {}

FaxConsole::~FaxConsole() = default;

// A usage error: what is wrong in one line, and where to read more.
int FaxConsole::usage(const QString &problem)
{
    m_err << "sendmere-fax: " << problem << "\n"
          << "Try 'sendmere-fax --help' for more information.\n";
    return 2;
}

int FaxConsole::run(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString &command = arguments.first();
    if (isHelp(command) || command == QStringLiteral("help")) {
        m_out << usageText();
        return 0;
    }
    if (command == QStringLiteral("--version") || command == QStringLiteral("-V")) {
        m_out << "sendmere-fax " << SENDMERE_VERSION_STRING << "\n";
        return 0;
    }
    const auto synopsis = std::find_if(Synopses.cbegin(), Synopses.cend(), [&](const auto &entry) { return entry.first == command; });
    if (synopsis == Synopses.cend())
        return usage(command.startsWith(u'-') ? QStringLiteral("unknown option %1").arg(command)
                                              : QStringLiteral("unknown command %1").arg(command));
    const QStringList rest = arguments.mid(1);
    if (std::any_of(rest.cbegin(), std::find(rest.cbegin(), rest.cend(), QStringLiteral("--")), isHelp)) {
        m_out << "usage: sendmere-fax " << synopsis->second << "\n";
        return 0;
    }
    try {
        return dispatch(command, parseArguments(rest));
    } catch (const UsageError &e) {
        return usage(QString::fromStdString(e.what()));
    } catch (const AutomationError &e) {
        m_err << "sendmere-fax: " << e.text() << " (error " << e.number() << ")\n";
        return 1;
    }
}

int FaxConsole::dispatch(const QString &command, const Arguments &args)
{
    using Handler = int (FaxConsole::*)(const Arguments &);
    const QMap<QString, Handler> handlers{
        {QStringLiteral("send"), &FaxConsole::send},       {QStringLiteral("list"), &FaxConsole::list},
        {QStringLiteral("show"), &FaxConsole::show},       {QStringLiteral("cancel"), &FaxConsole::cancel},
        {QStringLiteral("delete"), &FaxConsole::remove},   {QStringLiteral("tiff"), &FaxConsole::tiff},
        {QStringLiteral("devices"), &FaxConsole::devices}, {QStringLiteral("ring"), &FaxConsole::ring},
        {QStringLiteral("answer"), &FaxConsole::answer},   {QStringLiteral("watch"), &FaxConsole::watch}};
    const auto handler = handlers.value(command);
    if (!handler)
        return usage(QStringLiteral("unknown command %1").arg(command));
    return (this->*handler)(args);
}

void FaxConsole::connectServer()
{
    m_server = std::make_unique<FaxServer>();
    m_server->Connect(QString());
}

}  // namespace sendmere::console

// sendmere-fax: send, list, show, cancel and delete faxes of the local fax service, copy
// their images, simulate and answer incoming calls, and watch the service's events.
#include "FaxConsole.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sendmere-fax"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    sendmere::console::FaxConsole console(out, err);
    const int rc = console.run(QCoreApplication::arguments().mid(1));
    out.flush();
    err.flush();
    return rc;
}

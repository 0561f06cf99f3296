#pragma once
// A fax as the fax service makes them: pages of typed text rasterised into a G4 TIFF
// Class F file.
#include "FaxRender.h"

#include <QFile>
#include <QString>

namespace bench {

inline QString writeFax(const QString &dir, const QString &name, int pages) {
    const QString text = dir + QStringLiteral("/letter.txt");
    {
        QFile file(text);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (int line = 0; line < pages * 58; ++line)
            file.write(QStringLiteral("%1  Invoice line %2: delivery of goods as agreed, net 30 days, thank you.\n")
                           .arg(line > 0 && line % 58 == 0 ? QStringLiteral("\f") : QString())
                           .arg(line)
                           .toUtf8());
    }
    const QString path = dir + u'/' + name;
    sendmere::render::FaxTiffWriter writer(path);
    int written = 0;
    sendmere::render::rasteriseBody(text, [&](const QImage &page) {
        if (written++ < pages) writer.addPage(page);
    });
    writer.close();
    QFile::remove(text);
    return path;
}

}  // namespace bench

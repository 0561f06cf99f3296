// A body rendered once and composed per recipient gives the bytes of drawing, stamping and coding each page one after the other.
#include "RawStrips.h"
#include "FaxComposer.h"
#include "FaxRender.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

constexpr int BodyPages = 7;  // more than the pages drawn ahead at once

// Pages of text, a photograph-like gradient, line art and a landscape page.
void writeBody(const QString &path) {
    QPdfWriter writer(path);
    writer.setResolution(300);
    QPainter painter(&writer);
    for (int i = 0; i < BodyPages; ++i) {
        if (i > 0) {
            writer.setPageOrientation(i == BodyPages - 1 ? QPageLayout::Landscape : QPageLayout::Portrait);
            writer.newPage();
        }
        const QRect page = painter.viewport().adjusted(100, 100, -100, -100);
        painter.fillRect(QRect(page.left(), 0, page.width() / 3, 40 + i * 7), Qt::black);  // ink from the top: the banner covers it
        painter.setFont(QFont(u"DejaVu Sans"_s, 11));
        painter.drawText(page, Qt::TextWordWrap, u"Section %1: orders rose again this quarter. "_s.arg(i).repeated(30));
        QLinearGradient tone(0, 0, page.width(), 0);
        tone.setColorAt(0, QColor(20 * i, 90, 200));
        tone.setColorAt(1, Qt::white);
        painter.fillRect(QRect(page.left(), page.center().y(), page.width() / 2, page.height() / 4), tone);
        painter.drawEllipse(page.center(), 200 + 30 * i, 120);
    }
}

}  // namespace

class TestFaxComposer : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void composesTheBytesOfAPageByPageRender() {
        const QString pdf = path(u"body.pdf"_s);
        writeBody(pdf);
        std::atomic<int> done = 0;
        faxd::RenderedBody body(pdf, path(u"body.part"_s), nullptr, &done);
        QCOMPARE(body.pages(), BodyPages);
        QCOMPARE(done.load(), BodyPages);
        for (const QString &tsid : {u"5550100"_s, u"+49 30 1234"_s}) {
            faxd::JobImage job;
            job.body = &body;
            job.tsid = tsid;
            job.time = QDateTime(QDate(2026, 3, 10), QTime(14, 5));
            QCOMPARE(faxd::composeJobImage(job, path(tsid + u".tif"_s)), BodyPages);
            render::FaxTiffWriter writer(path(tsid + u"-reference.tif"_s));
            int number = 0;
            render::rasteriseBody(pdf, [&](const QImage &page) {
                QImage stamped = page;
                render::drawBanner(stamped, u"2026-03-10 14:05   FROM: %1   Page %2 of %3"_s.arg(tsid).arg(++number).arg(BodyPages));
                writer.addPage(stamped);
            });
            writer.close();
            const QList<QByteArray> ours = test::rawStrips(path(tsid + u".tif"_s)), theirs = test::rawStrips(path(tsid + u"-reference.tif"_s));
            QCOMPARE(ours.size(), BodyPages);
            QCOMPARE(theirs.size(), BodyPages);
            for (int i = 0; i < BodyPages; ++i)
                QVERIFY2(ours[i] == theirs[i], qPrintable(u"page %1 of %2 differs"_s.arg(i + 1).arg(tsid)));
        }
    }

    // A stopped render leaves no body file, and a body file cut short fails the fax instead of sending something else.
    void leavesNothingBehindAndReadsOnlyWholeBodies() {
        const QString pdf = path(u"short.pdf"_s);
        writeBody(pdf);
        const std::atomic<bool> cancel = true;
        QVERIFY_THROWS_EXCEPTION(render::RenderError, faxd::RenderedBody(pdf, path(u"stopped.part"_s), &cancel));
        QVERIFY(!QFile::exists(path(u"stopped.part"_s)));

        faxd::RenderedBody body(pdf, path(u"cut.part"_s));
        QFile file(body.path());
        QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(file.size() / 2));
        file.close();
        faxd::JobImage job;
        job.body = &body;
        job.time = QDateTime::currentDateTime();
        QVERIFY_THROWS_EXCEPTION(render::RenderError, faxd::composeJobImage(job, path(u"cut.tif"_s)));
        QVERIFY(!QFile::exists(path(u"cut.tif"_s)));
    }
};

QTEST_MAIN(TestFaxComposer)
#include "tst_faxcomposer.moc"

// Cover page templates: placeholders, wrapping in the template's font, fax pages, shipped templates.
#include "FaxRender.h"
#include "RenderTestKit.h"

#include <QDir>
#include <QFontMetricsF>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

using namespace sendmere::render;
using namespace rendertest;
using namespace Qt::StringLiterals;

namespace {

using F = CoverPageFields;
const QSize Mm(210, 297);  // one pixel per millimetre

// Every field with its placeholder (the member's name, capitalised) and a value that draws ink.
#define SENDMERE_FIELD(member) {QStringLiteral(#member), &F::member}
QList<QPair<QString, std::function<void(F &)>>> allFields() {
    const QList<QPair<QString, QString F::*>> texts = {
        SENDMERE_FIELD(recipientName), SENDMERE_FIELD(recipientFaxNumber), SENDMERE_FIELD(recipientCompany), SENDMERE_FIELD(recipientStreetAddress),
        SENDMERE_FIELD(recipientCity), SENDMERE_FIELD(recipientState), SENDMERE_FIELD(recipientZip), SENDMERE_FIELD(recipientCountry),
        SENDMERE_FIELD(recipientTitle), SENDMERE_FIELD(recipientDepartment), SENDMERE_FIELD(recipientOfficeLocation),
        SENDMERE_FIELD(recipientHomePhone), SENDMERE_FIELD(recipientOfficePhone), SENDMERE_FIELD(senderName), SENDMERE_FIELD(senderFaxNumber),
        SENDMERE_FIELD(senderCompany), SENDMERE_FIELD(senderAddress), SENDMERE_FIELD(senderTitle), SENDMERE_FIELD(senderDepartment),
        SENDMERE_FIELD(senderOfficeLocation), SENDMERE_FIELD(senderHomePhone), SENDMERE_FIELD(senderOfficePhone), SENDMERE_FIELD(senderEmail),
        SENDMERE_FIELD(senderBillingCode), SENDMERE_FIELD(note), SENDMERE_FIELD(subject)};
    QList<QPair<QString, std::function<void(F &)>>> all;
    for (const auto &[name, member] : texts) all.append({name.left(1).toUpper() + name.mid(1), [member](F &f) { f.*member = u"WMW"_s; }});
    all.append({u"TimeSent"_s, [](F &f) { f.timeSent = QDateTime(QDate(2026, 3, 4), QTime(5, 6)); }});
    all.append({u"PageCount"_s, [](F &f) { f.pageCount = 88; }});
    return all;
}
#undef SENDMERE_FIELD

QByteArray svgPage(const QByteArray &body) {
    return "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.2\" width=\"210mm\" height=\"297mm\" "
           "viewBox=\"0 0 210 297\">\n" + body + "\n</svg>\n";
}

QByteArray bigText(const QString &content) {
    return svgPage("<text x=\"10\" y=\"150\" font-family=\"DejaVu Sans\" font-size=\"30\">" + content.toUtf8() + "</text>");
}

}  // namespace

class TestCoverPages : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString writeTemplate(const QString &name, const QByteArray &svg) { return written(m_dir.filePath(name), svg); }

private Q_SLOTS:
    void everyFieldFillsItsOwnPlaceholder() {
        const auto fields = allFields();
        QCOMPARE(fields.size(), 28);
        for (const auto &[placeholder, set] : fields) {
            const QString file = writeTemplate(placeholder + u".svg"_s, bigText(u'{' + placeholder + u'}'));
            F others;  // every other field filled: only this field's own value may draw
            for (const auto &other : fields)
                if (other.first != placeholder) other.second(others);
            QVERIFY2(inkShare(drawCoverPage(file, others, Mm), QRect({}, Mm)) == 0.0, qPrintable(placeholder));
            set(others);
            QVERIFY2(inkShare(drawCoverPage(file, others, Mm), QRect(10, 120, 150, 35)) > 0.05, qPrintable(placeholder));
        }
        // Values are text, not markup; unknown placeholders stay as they are written.
        F markup;
        markup.subject = u"</text></svg> & <b>\"x\"</b>"_s;
        QVERIFY(inkShare(drawCoverPage(writeTemplate(u"markup.svg"_s, bigText(u"{Subject}"_s)), markup, Mm),
                         QRect(10, 120, 200, 35)) > 0.05);
        QVERIFY(inkShare(drawCoverPage(writeTemplate(u"unknown.svg"_s, bigText(u"{NoSuchField}"_s)), F{}, Mm),
                         QRect(10, 120, 200, 35)) > 0.05);
    }

    // Notes wrap at the width, line ends and the line limit, long words by characters (in linear
    // time); "bold" and weights from 600 measure as bold, as the page draws them.
    void textWrapsInTheTemplatesFont() {
        QFont font(u"DejaVu Sans"_s);
        font.setPixelSize(1000);
        const double plain = QFontMetricsF(font).horizontalAdvance(u"mmmm mmmm"_s);
        font.setBold(true);
        const double bold = QFontMetricsF(font).horizontalAdvance(u"mmmm mmmm"_s);
        QVERIFY(bold > plain * 1.05);
        const QString note = u"font-size=\"8\" data-wrap-width=\"100\" data-max-lines=\"6\""_s;
        const QString weight = u"font-size=\"10\" data-wrap-width=\"%1\" font-weight=\"%2\""_s.arg((plain + bold) / 200);
        const struct {
            QString attributes, text;
            int lines, inkEnds;  // no ink right of inkEnds (a full line may gain a pixel from hinting)
        } cases[] = {{note, u"First line\nSecond line\nThird line"_s, 3, 113}, {note, u"word "_s.repeated(30).trimmed(), 6, 113},
                     {note, u"word word word word word word word"_s, 2, 113}, {note, QString(20000, u'n'), 6, 116},
                     {note, u"a "_s + QString(300, u'n') + u" b"_s, 6, 116},
                     {weight.arg(u"bold"_s), u"mmmm mmmm"_s, 2, 210},   {weight.arg(u"600"_s), u"mmmm mmmm"_s, 2, 210},
                     {weight.arg(u"599"_s), u"mmmm mmmm"_s, 1, 210},    {weight.arg(u"normal"_s), u"mmmm mmmm"_s, 1, 210}};
        for (const auto &c : cases) {
            const QString file = writeTemplate(u"wrap.svg"_s, svgPage(u"<text x=\"10\" y=\"40\" font-family=\"DejaVu Sans\" %1>"
                                                                      "{Note}</text>"_s.arg(c.attributes).toUtf8()));
            F fields;
            fields.note = c.text;
            const QImage image = drawCoverPage(file, fields, Mm);
            QVERIFY2(inkBands(image, image.rect()) == c.lines, qPrintable(c.attributes + u' ' + c.text.left(40)));
            QCOMPARE(inkShare(image, QRect(c.inkEnds, 0, 210, 297)), 0.0);
        }
    }

    // One bit at fax resolution, A4 (1687 pixels) centred; an unreadable template names its file.
    void faxPageIsOneBitAndBadTemplatesNameTheFile() {
        const QImage page = renderCoverPage(writeTemplate(u"half.svg"_s, svgPage("<rect width=\"105\" height=\"297\" fill=\"black\"/>")), F{});
        QCOMPARE(std::pair(page.format(), page.size()), std::pair(QImage::Format_Mono, QSize(FaxPageWidth, FaxPageHeight)));
        QCOMPARE(QPoint(qRound(page.dotsPerMeterX() * 0.0254), qRound(page.dotsPerMeterY() * 0.0254)), QPoint(204, 196));
        QCOMPARE(inkShare(page, QRect(0, 0, 18, FaxPageHeight)), 0.0);
        QCOMPARE(inkShare(page, QRect(22, 0, 838, FaxPageHeight)), 1.0);
        QCOMPARE(inkShare(page, QRect(868, 0, 860, FaxPageHeight)), 0.0);
        for (const QString &file : {m_dir.filePath(u"missing.svg"_s), writeTemplate(u"notxml.svg"_s, "hello {Note}"),
                                    writeTemplate(u"broken.svg"_s, svgPage("<text x=\"1\" y=\"2\">{Note}</txt>")),
                                    writeTemplate(u"notsvg.svg"_s, "<html><p>hi</p></html>"), writeTemplate(u"empty.svg"_s, ""), m_dir.path()}) {
            QVERIFY2(renderErrorOf([&] { renderCoverPage(file, F{}); }).contains(file), qPrintable(file));
            QVERIFY2(renderErrorOf([&] { drawCoverPage(file, F{}, QSize(50, 70)); }).contains(file), qPrintable(file));
        }
    }

    // Shipped templates are copied, writable, only where none of the name is.
    void shippedTemplatesArePutInPlaceOnce() {
        const QDir dir(m_dir.filePath(u"data/sendmere/coverpages"_s));
        const QStringList names = {u"general.svg"_s, u"confidential.svg"_s, u"urgent.svg"_s, u"fyi.svg"_s};
        QCOMPARE(ensureShippedCoverPages(dir.path()), names);
        for (const QString &name : names) {
            QCOMPARE(readFile(dir.filePath(name)), readFile(qEnvironmentVariable("SENDMERE_SOURCE_DIR") + u"/data/coverpages/"_s + name));
            QVERIFY(QFileInfo(dir.filePath(name)).isWritable());
        }
        writeFile(dir.filePath(u"general.svg"_s), "my own general page");
        QVERIFY(QFile::remove(dir.filePath(u"urgent.svg"_s)));
        QCOMPARE(ensureShippedCoverPages(dir.path()), QStringList{u"urgent.svg"_s});
        QCOMPARE(readFile(dir.filePath(u"general.svg"_s)), QByteArray("my own general page"));
        const QString blocked = writeTemplate(u"a-file"_s, "x");
        QVERIFY(renderErrorOf([&] { ensureShippedCoverPages(blocked + u"/sub"_s); }).contains(blocked));
    }
};

QTEST_MAIN(TestCoverPages)
#include "tst_coverpages.moc"

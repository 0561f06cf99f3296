// Cover page templates: every field lands in its own placeholder, values are escaped, notes
// wrap, pages fit, the shipped templates show the fields and are put in place without
// overwriting anything.
#include "FaxRender.h"
#include "RenderTestKit.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace sendmere::render;
using namespace rendertest;
using namespace Qt::StringLiterals;

namespace {

using FieldSetter = std::function<void(CoverPageFields &)>;

struct Field {
    QString placeholder;
    FieldSetter set;
};

// Every member of CoverPageFields with its placeholder and a value that draws ink.
QList<Field> allFields() {
    const auto text = [](QString CoverPageFields::*member) { return [member](CoverPageFields &f) { f.*member = u"WMW"_s; }; };
    return {
        {u"RecipientName"_s, text(&CoverPageFields::recipientName)},
        {u"RecipientFaxNumber"_s, text(&CoverPageFields::recipientFaxNumber)},
        {u"RecipientCompany"_s, text(&CoverPageFields::recipientCompany)},
        {u"RecipientStreetAddress"_s, text(&CoverPageFields::recipientStreetAddress)},
        {u"RecipientCity"_s, text(&CoverPageFields::recipientCity)},
        {u"RecipientState"_s, text(&CoverPageFields::recipientState)},
        {u"RecipientZip"_s, text(&CoverPageFields::recipientZip)},
        {u"RecipientCountry"_s, text(&CoverPageFields::recipientCountry)},
        {u"RecipientTitle"_s, text(&CoverPageFields::recipientTitle)},
        {u"RecipientDepartment"_s, text(&CoverPageFields::recipientDepartment)},
        {u"RecipientOfficeLocation"_s, text(&CoverPageFields::recipientOfficeLocation)},
        {u"RecipientHomePhone"_s, text(&CoverPageFields::recipientHomePhone)},
        {u"RecipientOfficePhone"_s, text(&CoverPageFields::recipientOfficePhone)},
        {u"SenderName"_s, text(&CoverPageFields::senderName)},
        {u"SenderFaxNumber"_s, text(&CoverPageFields::senderFaxNumber)},
        {u"SenderCompany"_s, text(&CoverPageFields::senderCompany)},
        {u"SenderAddress"_s, text(&CoverPageFields::senderAddress)},
        {u"SenderTitle"_s, text(&CoverPageFields::senderTitle)},
        {u"SenderDepartment"_s, text(&CoverPageFields::senderDepartment)},
        {u"SenderOfficeLocation"_s, text(&CoverPageFields::senderOfficeLocation)},
        {u"SenderHomePhone"_s, text(&CoverPageFields::senderHomePhone)},
        {u"SenderOfficePhone"_s, text(&CoverPageFields::senderOfficePhone)},
        {u"SenderEmail"_s, text(&CoverPageFields::senderEmail)},
        {u"SenderBillingCode"_s, text(&CoverPageFields::senderBillingCode)},
        {u"Note"_s, text(&CoverPageFields::note)},
        {u"Subject"_s, text(&CoverPageFields::subject)},
        {u"TimeSent"_s, [](CoverPageFields &f) { f.timeSent = QDateTime(QDate(2026, 3, 4), QTime(5, 6)); }},
        {u"PageCount"_s, [](CoverPageFields &f) { f.pageCount = 88; }},
    };
}

QByteArray svgPage(const QByteArray &body) {
    return "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.2\" "
           "width=\"210mm\" height=\"297mm\" viewBox=\"0 0 210 297\">\n" +
           body + "\n</svg>\n";
}

QByteArray bigText(const QString &content) {
    return "<text x=\"10\" y=\"150\" font-family=\"DejaVu Sans\" font-size=\"30\">" + content.toUtf8() + "</text>";
}

CoverPageFields sampleFields() {
    CoverPageFields f;
    f.recipientName = u"Ann Example"_s;
    f.recipientFaxNumber = u"12354"_s;
    f.senderName = u"Sender"_s;
    f.subject = u"Subject"_s;
    f.note = u"Note"_s;
    f.timeSent = QDateTime(QDate(2026, 1, 2), QTime(3, 4));
    f.pageCount = 2;
    return f;
}

QString sourceDir() { return qEnvironmentVariable("SENDMERE_SOURCE_DIR"); }

}  // namespace

class TestCoverPages : public QObject {
    Q_OBJECT

    QString writeTemplate(const QString &name, const QByteArray &svg) {
        const QString file = m_dir.filePath(name);
        writeFile(file, svg);
        return file;
    }
    QTemporaryDir m_dir;

private Q_SLOTS:
    void everyFieldFillsItsOwnPlaceholder() {
        const QList<Field> fields = allFields();
        for (const Field &field : fields) {
            const QString file = writeTemplate(field.placeholder + u".svg"_s, svgPage(bigText(u'{' + field.placeholder + u'}')));
            // Every other field filled: only this field's own value may draw.
            CoverPageFields others;
            for (const Field &other : fields) {
                if (other.placeholder != field.placeholder) other.set(others);
            }
            const QImage without = drawCoverPage(file, others, QSize(210, 297));
            QVERIFY2(inkShare(without, without.rect()) == 0.0, qPrintable(field.placeholder));
            CoverPageFields withValue = others;
            field.set(withValue);
            const QImage with = drawCoverPage(file, withValue, QSize(210, 297));
            QVERIFY2(inkShare(with, QRect(10, 120, 150, 35)) > 0.05, qPrintable(field.placeholder));
        }
    }

    void valuesAreTextNotMarkup() {
        const QString file = writeTemplate(u"markup.svg"_s, svgPage(bigText(u"{Subject}"_s)));
        CoverPageFields fields;
        fields.subject = u"</text></svg> & <b>\"x\"</b>"_s;
        const QImage image = drawCoverPage(file, fields, QSize(210, 297));
        QVERIFY(inkShare(image, QRect(10, 120, 200, 35)) > 0.05);
        // Unknown placeholders stay as they are written.
        const QString unknown = writeTemplate(u"unknown.svg"_s, svgPage(bigText(u"{NoSuchField}"_s)));
        const QImage kept = drawCoverPage(unknown, CoverPageFields{}, QSize(210, 297));
        QVERIFY(inkShare(kept, QRect(10, 120, 200, 35)) > 0.05);
    }

    void notesWrapIntoLines() {
        const QString file = writeTemplate(u"note.svg"_s, svgPage("<text x=\"10\" y=\"40\" font-family=\"DejaVu Sans\" font-size=\"8\" "
                                                                  "data-wrap-width=\"100\" data-max-lines=\"6\">{Note}</text>"));
        const QRect everything(0, 0, 210, 297);
        CoverPageFields fields;
        fields.note = u"First line\nSecond line\nThird line"_s;
        QImage image = drawCoverPage(file, fields, QSize(210, 297));
        QCOMPARE(inkBands(image, everything).size(), 3);

        // One long paragraph: several lines, none reaching past the wrap width.
        fields.note = u"word "_s.repeated(30).trimmed();
        image = drawCoverPage(file, fields, QSize(210, 297));
        QCOMPARE(inkBands(image, everything).size(), 6);  // cut at data-max-lines
        QCOMPARE(inkShare(image, QRect(113, 0, 97, 297)), 0.0);

        fields.note = u"word word word word word word word"_s;
        image = drawCoverPage(file, fields, QSize(210, 297));
        QCOMPARE(inkBands(image, everything).size(), 2);

        // A word wider than the area is cut by characters, wherever it stands in the paragraph;
        // one of 20,000 characters wraps in time proportional to its length (it took minutes).
        for (const QString &note : {QString(20000, u'n'), u"a "_s + QString(300, u'n') + u" b"_s}) {
            fields.note = note;
            image = drawCoverPage(file, fields, QSize(210, 297));
            QCOMPARE(inkBands(image, everything).size(), 6);
            QCOMPARE(inkShare(image, QRect(116, 0, 94, 297)), 0.0);  // a full line may gain a pixel from hinting
        }
    }

    void faxPageIsOneBitAtFaxResolution() {
        const QString file = writeTemplate(u"square.svg"_s, svgPage("<rect x=\"0\" y=\"0\" width=\"105\" height=\"297\" fill=\"black\"/>"));
        const QImage page = renderCoverPage(file, CoverPageFields{});
        QCOMPARE(page.format(), QImage::Format_Mono);
        QCOMPARE(page.size(), QSize(FaxPageWidth, FaxPageHeight));
        QCOMPARE(qRound(page.dotsPerMeterX() * 0.0254), 204);
        QCOMPARE(qRound(page.dotsPerMeterY() * 0.0254), 196);
        // An A4 page is 1687 pixels wide at 204 dpi, centred: its left half is black.
        QCOMPARE(inkShare(page, QRect(0, 0, 18, FaxPageHeight)), 0.0);
        QCOMPARE(inkShare(page, QRect(22, 0, 838, FaxPageHeight)), 1.0);
        QCOMPARE(inkShare(page, QRect(868, 0, 860, FaxPageHeight)), 0.0);
    }

    void badTemplatesNameTheFile() {
        const QString missing = m_dir.filePath(u"missing.svg"_s);
        const QString notXml = writeTemplate(u"notxml.svg"_s, "hello {Note}");
        const QString broken = writeTemplate(u"broken.svg"_s, svgPage("<text x=\"1\" y=\"2\">{Note}</txt>"));
        const QString notSvg = writeTemplate(u"notsvg.svg"_s, "<html><p>hi</p></html>");
        const QString empty = writeTemplate(u"empty.svg"_s, "");
        for (const QString &file : {missing, notXml, broken, notSvg, empty, m_dir.path()}) {
            QVERIFY2(renderErrorOf([&] { renderCoverPage(file, sampleFields()); }).contains(file), qPrintable(file));
            QVERIFY2(renderErrorOf([&] { drawCoverPage(file, sampleFields(), QSize(50, 70)); }).contains(file), qPrintable(file));
        }
    }

    void shippedTemplatesArePutInPlaceOnce() {
        const QString dir = m_dir.filePath(u"data/sendmere/coverpages"_s);
        const QStringList names = {u"general.svg"_s, u"confidential.svg"_s, u"urgent.svg"_s, u"fyi.svg"_s};
        QCOMPARE(ensureShippedCoverPages(dir), names);
        for (const QString &name : names) {
            const QString copy = QDir(dir).filePath(name);
            QCOMPARE(readFile(copy), readFile(sourceDir() + u"/data/coverpages/"_s + name));
            QVERIFY(QFileInfo(copy).isWritable());
        }
        writeFile(QDir(dir).filePath(u"general.svg"_s), "my own general page");
        QVERIFY(QFile::remove(QDir(dir).filePath(u"urgent.svg"_s)));
        QCOMPARE(ensureShippedCoverPages(dir), QStringList{u"urgent.svg"_s});
        QCOMPARE(readFile(QDir(dir).filePath(u"general.svg"_s)), QByteArray("my own general page"));
        QCOMPARE(ensureShippedCoverPages(dir), QStringList());

        const QString blocked = m_dir.filePath(u"a-file"_s);
        writeFile(blocked, "x");
        QVERIFY(renderErrorOf([&] { ensureShippedCoverPages(blocked + u"/sub"_s); }).contains(blocked));
    }
};

QTEST_MAIN(TestCoverPages)
#include "tst_coverpages.moc"

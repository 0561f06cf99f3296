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

namespace {

using FieldSetter = std::function<void(CoverPageFields &)>;

struct Field {
    QString placeholder;
    FieldSetter set;
};

// Every member of CoverPageFields with its placeholder and a value that draws ink.
QList<Field> allFields() {
    const auto text = [](QString CoverPageFields::*member) {
        return [member](CoverPageFields &f) { f.*member = QStringLiteral("WMW"); };
    };
    return {
        {QStringLiteral("RecipientName"), text(&CoverPageFields::recipientName)},
        {QStringLiteral("RecipientFaxNumber"), text(&CoverPageFields::recipientFaxNumber)},
        {QStringLiteral("RecipientCompany"), text(&CoverPageFields::recipientCompany)},
        {QStringLiteral("RecipientStreetAddress"), text(&CoverPageFields::recipientStreetAddress)},
        {QStringLiteral("RecipientCity"), text(&CoverPageFields::recipientCity)},
        {QStringLiteral("RecipientState"), text(&CoverPageFields::recipientState)},
        {QStringLiteral("RecipientZip"), text(&CoverPageFields::recipientZip)},
        {QStringLiteral("RecipientCountry"), text(&CoverPageFields::recipientCountry)},
        {QStringLiteral("RecipientTitle"), text(&CoverPageFields::recipientTitle)},
        {QStringLiteral("RecipientDepartment"), text(&CoverPageFields::recipientDepartment)},
        {QStringLiteral("RecipientOfficeLocation"),
         text(&CoverPageFields::recipientOfficeLocation)},
        {QStringLiteral("RecipientHomePhone"), text(&CoverPageFields::recipientHomePhone)},
        {QStringLiteral("RecipientOfficePhone"), text(&CoverPageFields::recipientOfficePhone)},
        {QStringLiteral("SenderName"), text(&CoverPageFields::senderName)},
        {QStringLiteral("SenderFaxNumber"), text(&CoverPageFields::senderFaxNumber)},
        {QStringLiteral("SenderCompany"), text(&CoverPageFields::senderCompany)},
        {QStringLiteral("SenderAddress"), text(&CoverPageFields::senderAddress)},
        {QStringLiteral("SenderTitle"), text(&CoverPageFields::senderTitle)},
        {QStringLiteral("SenderDepartment"), text(&CoverPageFields::senderDepartment)},
        {QStringLiteral("SenderOfficeLocation"), text(&CoverPageFields::senderOfficeLocation)},
        {QStringLiteral("SenderHomePhone"), text(&CoverPageFields::senderHomePhone)},
        {QStringLiteral("SenderOfficePhone"), text(&CoverPageFields::senderOfficePhone)},
        {QStringLiteral("SenderEmail"), text(&CoverPageFields::senderEmail)},
        {QStringLiteral("SenderBillingCode"), text(&CoverPageFields::senderBillingCode)},
        {QStringLiteral("Note"), text(&CoverPageFields::note)},
        {QStringLiteral("Subject"), text(&CoverPageFields::subject)},
        {QStringLiteral("TimeSent"),
         [](CoverPageFields &f) { f.timeSent = QDateTime(QDate(2026, 3, 4), QTime(5, 6)); }},
        {QStringLiteral("PageCount"), [](CoverPageFields &f) { f.pageCount = 88; }},
    };
}

QByteArray svgPage(const QByteArray &body) {
    return "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.2\" "
           "width=\"210mm\" height=\"297mm\" viewBox=\"0 0 210 297\">\n" +
           body + "\n</svg>\n";
}

QByteArray bigText(const QString &content) {
    return "<text x=\"10\" y=\"150\" font-family=\"DejaVu Sans\" font-size=\"30\">" +
           content.toUtf8() + "</text>";
}

CoverPageFields sampleFields() {
    CoverPageFields f;
    f.recipientName = QStringLiteral("Ann Example");
    f.recipientFaxNumber = QStringLiteral("12354");
    f.senderName = QStringLiteral("Sender");
    f.subject = QStringLiteral("Subject");
    f.note = QStringLiteral("Note");
    f.timeSent = QDateTime(QDate(2026, 1, 2), QTime(3, 4));
    f.pageCount = 2;
    return f;
}

QString sourceDir() { return qEnvironmentVariable("SENDMERE_SOURCE_DIR"); }

}  // namespace

class TestCoverPages : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyFieldFillsItsOwnPlaceholder();
    void valuesAreTextNotMarkup();
    void notesWrapIntoLines();
    void faxPageIsOneBitAtFaxResolution();
    void badTemplatesNameTheFile();
    void shippedTemplatesArePutInPlaceOnce();

private:
    QString writeTemplate(const QString &name, const QByteArray &svg) {
        const QString file = m_dir.filePath(name);
        writeFile(file, svg);
        return file;
    }
    QTemporaryDir m_dir;
};

void TestCoverPages::everyFieldFillsItsOwnPlaceholder() {
    const QList<Field> fields = allFields();
    for (const Field &field : fields) {
        const QString file = writeTemplate(field.placeholder + QStringLiteral(".svg"),
                                           svgPage(bigText(u'{' + field.placeholder + u'}')));
        // Every other field filled: only this field's own value may draw.
        CoverPageFields others;
        for (const Field &other : fields) {
            if (other.placeholder != field.placeholder)
                other.set(others);
        }
        const QImage without = drawCoverPage(file, others, QSize(210, 297));
        QVERIFY2(inkShare(without, without.rect()) == 0.0, qPrintable(field.placeholder));
        CoverPageFields withValue = others;
        field.set(withValue);
        const QImage with = drawCoverPage(file, withValue, QSize(210, 297));
        QVERIFY2(inkShare(with, QRect(10, 120, 150, 35)) > 0.05, qPrintable(field.placeholder));
    }
}

void TestCoverPages::valuesAreTextNotMarkup() {
    const QString file = writeTemplate(QStringLiteral("markup.svg"),
                                       svgPage(bigText(QStringLiteral("{Subject}"))));
    CoverPageFields fields;
    fields.subject = QStringLiteral("</text></svg> & <b>\"x\"</b>");
    const QImage image = drawCoverPage(file, fields, QSize(210, 297));
    QVERIFY(inkShare(image, QRect(10, 120, 200, 35)) > 0.05);
    // Unknown placeholders stay as they are written.
    const QString unknown = writeTemplate(QStringLiteral("unknown.svg"),
                                          svgPage(bigText(QStringLiteral("{NoSuchField}"))));
    const QImage kept = drawCoverPage(unknown, CoverPageFields{}, QSize(210, 297));
    QVERIFY(inkShare(kept, QRect(10, 120, 200, 35)) > 0.05);
}

void TestCoverPages::notesWrapIntoLines() {
    const QString file = writeTemplate(
        QStringLiteral("note.svg"),
        svgPage("<text x=\"10\" y=\"40\" font-family=\"DejaVu Sans\" font-size=\"8\" "
                "data-wrap-width=\"100\" data-max-lines=\"6\">{Note}</text>"));
    const QRect everything(0, 0, 210, 297);
    CoverPageFields fields;
    fields.note = QStringLiteral("First line\nSecond line\nThird line");
    QImage image = drawCoverPage(file, fields, QSize(210, 297));
    QCOMPARE(inkBands(image, everything).size(), 3);

    // One long paragraph: several lines, none reaching past the wrap width.
    fields.note = QStringLiteral("word ").repeated(30).trimmed();
    image = drawCoverPage(file, fields, QSize(210, 297));
    QCOMPARE(inkBands(image, everything).size(), 6);  // cut at data-max-lines
    QCOMPARE(inkShare(image, QRect(113, 0, 97, 297)), 0.0);

    fields.note = QStringLiteral("word word word word word word word");
    image = drawCoverPage(file, fields, QSize(210, 297));
    QCOMPARE(inkBands(image, everything).size(), 2);

    // A word wider than the area is cut by characters, wherever it stands in the paragraph;
    // one of 20,000 characters wraps in time proportional to its length (it took minutes).
    for (const QString &note : {QString(20000, u'n'), QStringLiteral("a ") + QString(300, u'n') + QStringLiteral(" b")}) {
        fields.note = note;
        image = drawCoverPage(file, fields, QSize(210, 297));
        QCOMPARE(inkBands(image, everything).size(), 6);
        QCOMPARE(inkShare(image, QRect(116, 0, 94, 297)), 0.0);  // a full line may gain a pixel from hinting
    }
}

void TestCoverPages::faxPageIsOneBitAtFaxResolution() {
    const QString file = writeTemplate(
        QStringLiteral("square.svg"),
        svgPage("<rect x=\"0\" y=\"0\" width=\"105\" height=\"297\" fill=\"black\"/>"));
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

void TestCoverPages::badTemplatesNameTheFile() {
    const QString missing = m_dir.filePath(QStringLiteral("missing.svg"));
    const QString notXml = writeTemplate(QStringLiteral("notxml.svg"), "hello {Note}");
    const QString broken = writeTemplate(QStringLiteral("broken.svg"),
                                         svgPage("<text x=\"1\" y=\"2\">{Note}</txt>"));
    const QString notSvg = writeTemplate(QStringLiteral("notsvg.svg"), "<html><p>hi</p></html>");
    const QString empty = writeTemplate(QStringLiteral("empty.svg"), "");
    for (const QString &file : {missing, notXml, broken, notSvg, empty, m_dir.path()}) {
        QVERIFY2(renderErrorOf([&] { renderCoverPage(file, sampleFields()); }).contains(file),
                 qPrintable(file));
        QVERIFY2(renderErrorOf([&] { drawCoverPage(file, sampleFields(), QSize(50, 70)); })
                     .contains(file),
                 qPrintable(file));
    }
}

void TestCoverPages::shippedTemplatesArePutInPlaceOnce() {
    const QString dir = m_dir.filePath(QStringLiteral("data/sendmere/coverpages"));
    const QStringList names = {QStringLiteral("general.svg"), QStringLiteral("confidential.svg"),
                               QStringLiteral("urgent.svg"), QStringLiteral("fyi.svg")};
    QCOMPARE(ensureShippedCoverPages(dir), names);
    for (const QString &name : names) {
        const QString copy = QDir(dir).filePath(name);
        QCOMPARE(readFile(copy), readFile(sourceDir() + QStringLiteral("/data/coverpages/") + name));
        QVERIFY(QFileInfo(copy).isWritable());
    }
    writeFile(QDir(dir).filePath(QStringLiteral("general.svg")), "my own general page");
    QVERIFY(QFile::remove(QDir(dir).filePath(QStringLiteral("urgent.svg"))));
    QCOMPARE(ensureShippedCoverPages(dir), QStringList{QStringLiteral("urgent.svg")});
    QCOMPARE(readFile(QDir(dir).filePath(QStringLiteral("general.svg"))),
             QByteArray("my own general page"));
    QCOMPARE(ensureShippedCoverPages(dir), QStringList());

    const QString blocked = m_dir.filePath(QStringLiteral("a-file"));
    writeFile(blocked, "x");
    QVERIFY(renderErrorOf([&] { ensureShippedCoverPages(blocked + QStringLiteral("/sub")); })
                .contains(blocked));
}

QTEST_MAIN(TestCoverPages)
#include "tst_coverpages.moc"

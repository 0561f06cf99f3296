// The cover page page's template picture on a screen with a scale factor of 2: drawn in the
// screen's own pixels, as sharp as the text beside it, not a small picture blown up.
#include "WizardTestKit.h"
#include "wizard/frmCover.h"

#include <QApplication>
#include <QLabel>

using namespace sendmere;

class TestCoverThumbnail : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pictureIsDrawnAtTheScreensPixelRatio() {
        QCOMPARE(qApp->devicePixelRatio(), 2.0);
        test::useCoverPageDirectories(test::coverBase());
        test::writeFile(test::coverBase() + QStringLiteral("/server/general.svg"), test::coverTemplate(QStringLiteral("General")));
        test::setRecipients({QStringLiteral("Ann")}, {QStringLiteral("111")});
        frmCover &page = test::shownPage<frmCover>();
        QTRY_VERIFY(page.isActiveWindow());
        const QPixmap picture = page.Picture1->pixmap();
        QCOMPARE(picture.devicePixelRatio(), 2.0);
        QCOMPARE(picture.size(), page.Picture1->size() * 2);
        QVERIFY(test::errorLogLines().isEmpty());
    }
};

int main(int argc, char *argv[]) {
    // Before the application reads it: every window of the test is on a screen scaled by 2.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestCoverThumbnail test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_coverthumbnail.moc"

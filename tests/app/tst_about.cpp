// The About box: its texts, its geometry in twips, its placement and a fresh load at every showing.
#include "platform/twips.h"
#include "shell/ABOUT_FORM.h"
#include "support/test_support.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace pell;
using namespace Qt::StringLiterals;

class TestAbout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void textsGeometryAndPlacement();
    void okUnloadsAndNextShowingLoadsAfresh();
};

void TestAbout::textsGeometryAndPlacement() {
    test::Fixture f;
    f.platform.setScreenSizeTwips(QSize(14400, 10800));
    Loaded<ABOUT_FORM> about(f.ctx, nullptr);
    QCOMPARE((QStringList{about.windowTitle(), about.Label1->text(), about.Label4->text(),
                          about.Command1->text()}),
             (QStringList{u"About Pellwood"_s, u"Pellwood Version"_s, u"5.09d"_s, u"OK"_s}));
    QCOMPARE(about.size(), QSize(twips::toPx(5385), twips::toPx(2685)));
    QCOMPARE(about.Label1->geometry(), twips::rect(240, 240, 4815, 255));
    QCOMPARE(about.Label4->geometry(), twips::rect(2280, 480, 855, 255));
    QCOMPARE(about.Command1->geometry(), twips::rect(2040, 2040, 1215, 495));
    QVERIFY(about.font().bold());
    QCOMPARE(about.font().pointSizeF(), 8.25);
    QCOMPARE(about.helpContext(), 0);
    // Centred across, a third of the free height down (within a pixel of rounding).
    QVERIFY(qAbs(about.x() - twips::toPx((14400 - twips::fromPx(about.width())) / 2)) <= 1);
    QVERIFY(qAbs(about.y() - twips::toPx((10800 - twips::fromPx(about.height())) / 3)) <= 1);
}

void TestAbout::okUnloadsAndNextShowingLoadsAfresh() {
    test::Fixture f;
    {
        Loaded<ABOUT_FORM> about(f.ctx, nullptr);
        about.show();
        about.Label4->setText(u"changed"_s);
        about.Command1->click();
        QVERIFY(about.isUnloaded());
        QVERIFY(!about.isVisible());
    }
    Loaded<ABOUT_FORM> again(f.ctx, nullptr);
    QCOMPARE(again.Label4->text(), u"5.09d"_s);
    QVERIFY(!again.isUnloaded());
    QVERIFY(f.platform.boxes().isEmpty());
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"

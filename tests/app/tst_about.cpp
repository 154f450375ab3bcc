// The About box: its texts, its geometry in twips, its placement and a fresh load at every showing.
#include "app/ABOUT_FORM.h"
#include "support/test_support.h"
#include "widgets/twips.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace pell;

class TestAbout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void textsAndGeometry();
    void placedWithCenterForm();
    void okUnloadsAndNextShowingLoadsAfresh();
    void f1OpensNoHelp();
};

void TestAbout::textsAndGeometry() {
    test::Fixture f;
    ABOUT_FORM about(f.ctx, nullptr);
    QCOMPARE(about.windowTitle(), QStringLiteral("About Pellwood"));
    QCOMPARE(about.Label1->text(), QStringLiteral("Pellwood Version"));
    QCOMPARE(about.Label4->text(), QStringLiteral("5.09d"));
    QCOMPARE(about.Command1->text(), QStringLiteral("OK"));
    QCOMPARE(about.size(), QSize(twips::toPx(5385), twips::toPx(2685)));
    QCOMPARE(about.Label1->geometry(), twips::rect(240, 240, 4815, 255));
    QCOMPARE(about.Label4->geometry(), twips::rect(2280, 480, 855, 255));
    QCOMPARE(about.Command1->geometry(), twips::rect(2040, 2040, 1215, 495));
    QVERIFY(about.font().bold());
    QCOMPARE(about.font().pointSizeF(), 8.25);
    QCOMPARE(about.helpContext(), 0);
}

void TestAbout::placedWithCenterForm() {
    test::Fixture f;
    f.platform.setScreenSizeTwips(QSize(14400, 10800));
    ABOUT_FORM about(f.ctx, nullptr);
    // Centred across, a third of the free height down (within a pixel of rounding).
    const int left = twips::toPx((14400 - twips::fromPx(about.width())) / 2);
    const int top = twips::toPx((10800 - twips::fromPx(about.height())) / 3);
    QVERIFY(qAbs(about.x() - left) <= 1);
    QVERIFY(qAbs(about.y() - top) <= 1);
}

void TestAbout::okUnloadsAndNextShowingLoadsAfresh() {
    test::Fixture f;
    {
        ABOUT_FORM about(f.ctx, nullptr);
        about.show();
        about.Label4->setText(QStringLiteral("changed"));
        about.Command1->click();
        QVERIFY(about.isUnloaded());
        QVERIFY(!about.isVisible());
    }
    ABOUT_FORM again(f.ctx, nullptr);
    QCOMPARE(again.Label4->text(), QStringLiteral("5.09d"));
    QVERIFY(!again.isUnloaded());
    QVERIFY(f.platform.boxes().isEmpty());
}

void TestAbout::f1OpensNoHelp() {
    test::Fixture f;
    ABOUT_FORM about(f.ctx, nullptr);
    about.show();
    QTest::keyClick(&about, Qt::Key_F1);
    QTest::keyClick(about.Command1, Qt::Key_F1);
    QVERIFY(f.platform.launches().isEmpty());
    QVERIFY(!about.isUnloaded());
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"

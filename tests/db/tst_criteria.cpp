// Criteria texts: both forms, the apostrophe case, and random texts that must never crash.
#include "core/error.h"
#include "db/criteria.h"
#include "db/database.h"
#include "db/recordset.h"
#include "support/test_support.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace pell;
using namespace Qt::StringLiterals;
using db::Criteria;

class TestCriteria : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesBothForms() {
        const Criteria eq = Criteria::parse(u"User_ID = 'admin'"_s);
        QCOMPARE(eq.kind(), Criteria::Kind::Equals);
        QCOMPARE(eq.column(), u"User_ID"_s);
        QCOMPARE(eq.value(), u"admin"_s);
        QCOMPARE(eq.toText(), u"User_ID = 'admin'"_s);
        const Criteria nul = Criteria::parse(u"IsNull(Supervisor_User_ID)"_s);
        QCOMPARE(nul.kind(), Criteria::Kind::IsNull);
        QCOMPARE(nul.column(), u"Supervisor_User_ID"_s);
        QCOMPARE(Criteria::parse(u"Category = ' '"_s).value(), u" "_s);
        QCOMPARE(Criteria::parse(u"[Tool Name] = 'x'"_s).column(), u"Tool Name"_s);
    }

    void rejectsOtherTexts() {
        for (const char* text : {"", "User_ID", "User_ID = admin", "= 'x'", "User_ID = 'x", "a b = 'x'",
                                 "IsNull()", "User_ID = 'x' OR 1=1"}) // no trailing expression either
            QVERIFY2(test::errorOf([&] { Criteria::parse(QString::fromLatin1(text)); }) ==
                         err::CriteriaSyntax,
                     text);
    }

    void matchingFollowsTheKeys() {
        const Criteria c = Criteria::equals(u"Category"_s, u"Urgent"_s);
        QVERIFY(c.matches(u"URGENT"_s) && c.matches(u"urgent"_s));
        QVERIFY(!c.matches(u"Urgent "_s) && !c.matches(QVariant()));
        QVERIFY(Criteria::equals(u"n"_s, u"42"_s).matches(QVariant(qlonglong(42))));
        QVERIFY(!Criteria::equals(u"n"_s, u"4x"_s).matches(QVariant(qlonglong(4))));
        QVERIFY(Criteria::isNull(u"n"_s).matches(QVariant()) && !Criteria::isNull(u"n"_s).matches(u""_s));
    }

    void apostropheValueWrittenByAnotherProgramIsFoundExactly() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        test::execRaw(path, u"INSERT INTO LU_Category VALUES ('O''Neil'), ('O'), ('Neil')"_s);
        auto db = db::Database::open(path);
        auto rs = db->openRecordset(u"LU_Category"_s);
        rs->findFirst(Criteria::equals(u"Category"_s, u"O'Neil"_s));
        QVERIFY(!rs->noMatch());
        QCOMPARE(rs->field(u"Category"_s).toString(), u"O'Neil"_s);
        rs->deleteCurrent();
        QCOMPARE(db->scalar(u"SELECT count(*) FROM LU_Category WHERE Category IN ('O','Neil')"_s).toInt(), 2);
        // The text form of the same criterion reads the value between the outer apostrophes.
        QCOMPARE(Criteria::parse(u"Category = 'O'Neil'"_s).value(), u"O'Neil"_s);
    }

    void randomTextsNeverCrash() {
        QRandomGenerator random(1206);
        const QString alphabet = u"ab_ =''()IsNull[]\"x1 "_s;
        int parsed = 0;
        for (int i = 0; i < 5000; ++i) {
            QString text;
            const int n = int(random.bounded(30));
            for (int k = 0; k < n; ++k)
                text += alphabet.at(int(random.bounded(alphabet.size())));
            try {
                const Criteria c = Criteria::parse(text);
                ++parsed;
                // What parses round-trips to an equivalent criterion.
                const Criteria again = Criteria::parse(c.toText());
                QCOMPARE(again.column(), c.column());
                QCOMPARE(again.value(), c.value());
            } catch (const Error& e) {
                QCOMPARE(e.number(), err::CriteriaSyntax);
            }
        }
        QVERIFY(parsed > 0);
    }
};

QTEST_GUILESS_MAIN(TestCriteria)
#include "tst_criteria.moc"

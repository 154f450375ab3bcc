// Criteria texts: both forms, the apostrophe case, and random texts that must never crash.
#include "core/error.h"
#include "db/criteria.h"
#include "db/database.h"
#include "db/recordset.h"
#include "support/test_support.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace pell;
using db::Criteria;

class TestCriteria : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesBothForms() {
        const Criteria eq = Criteria::parse(QStringLiteral("User_ID = 'admin'"));
        QCOMPARE(eq.kind(), Criteria::Kind::Equals);
        QCOMPARE(eq.column(), QStringLiteral("User_ID"));
        QCOMPARE(eq.value(), QStringLiteral("admin"));
        QCOMPARE(eq.toText(), QStringLiteral("User_ID = 'admin'"));
        const Criteria nul = Criteria::parse(QStringLiteral("IsNull(Supervisor_User_ID)"));
        QCOMPARE(nul.kind(), Criteria::Kind::IsNull);
        QCOMPARE(nul.column(), QStringLiteral("Supervisor_User_ID"));
        QCOMPARE(Criteria::parse(QStringLiteral("Category = ' '")).value(), QStringLiteral(" "));
        QCOMPARE(Criteria::parse(QStringLiteral("[Tool Name] = 'x'")).column(), QStringLiteral("Tool Name"));
    }

    void rejectsOtherTexts() {
        for (const char* text : {"", "User_ID", "User_ID = admin", "= 'x'", "User_ID = 'x", "a b = 'x'",
                                 "IsNull()", "User_ID = 'x' OR 1=1"}) {
            try {
                Criteria::parse(QString::fromLatin1(text));
                if (QByteArray(text) == "User_ID = 'x' OR 1=1")
                    QFAIL("a trailing expression must not be accepted");
                QFAIL(text);
            } catch (const Error& e) {
                QCOMPARE(e.number(), err::CriteriaSyntax);
            }
        }
    }

    void matchingFollowsTheKeys() {
        const Criteria c = Criteria::equals(QStringLiteral("Category"), QStringLiteral("Urgent"));
        QVERIFY(c.matches(QStringLiteral("URGENT")));
        QVERIFY(c.matches(QStringLiteral("urgent")));
        QVERIFY(!c.matches(QStringLiteral("Urgent ")));
        QVERIFY(!c.matches(QVariant()));
        QVERIFY(Criteria::equals(QStringLiteral("n"), QStringLiteral("42")).matches(QVariant(qlonglong(42))));
        QVERIFY(!Criteria::equals(QStringLiteral("n"), QStringLiteral("4x")).matches(QVariant(qlonglong(4))));
        QVERIFY(Criteria::isNull(QStringLiteral("n")).matches(QVariant()));
        QVERIFY(!Criteria::isNull(QStringLiteral("n")).matches(QStringLiteral("")));
    }

    void apostropheValueWrittenByAnotherProgramIsFoundExactly() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        test::execRaw(path, QStringLiteral("INSERT INTO LU_Category VALUES ('O''Neil'), ('O'), ('Neil')"));
        auto db = db::Database::open(path);
        auto rs = db->openRecordset(QStringLiteral("LU_Category"));
        rs->findFirst(Criteria::equals(QStringLiteral("Category"), QStringLiteral("O'Neil")));
        QVERIFY(!rs->noMatch());
        QCOMPARE(rs->field(QStringLiteral("Category")).toString(), QStringLiteral("O'Neil"));
        rs->deleteCurrent();
        QCOMPARE(db->scalar(QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category IN ('O','Neil')"))
                     .toInt(),
                 2);
        // The text form of the same criterion reads the value between the outer apostrophes.
        QCOMPARE(Criteria::parse(QStringLiteral("Category = 'O'Neil'")).value(), QStringLiteral("O'Neil"));
    }

    void randomTextsNeverCrash() {
        QRandomGenerator random(1206);
        const QString alphabet = QStringLiteral("ab_ =''()IsNull[]\"x1 ");
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

// Reading pell.ini: every rule of the reader, and a randomized run that must never crash or hang.
#include "app/center_form.h"
#include "app/inifile.h"
#include "core/error.h"
#include "support/test_support.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>

using namespace pell;

class TestIniFile : public QObject {
    Q_OBJECT

    static AppState read(const QByteArray& text) {
        AppState state;
        readIniText(state, text);
        return state;
    }

private Q_SLOTS:
    void typicalFile() {
        const AppState s = read("[DATABASE]\r\nDATABASE=c:/p/pell.mdb\r\nREPLICADB=c:/p/rep.mdb\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("c:/p/pell.mdb"));
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("c:/p/rep.mdb"));
    }

    void keysInAnyCaseAndBlanksAroundValue() {
        const AppState s =
            read("[database]\r\n  dataBase  =   /a b/x.mdb   \r\nRepLicaDb= \t/r.mdb\"  \r\nend\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/a b/x.mdb"));
        // Tabs and quotation marks stay part of the value; only blanks are trimmed.
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("\t/r.mdb\""));
    }

    void commentOnlyInFirstColumn() {
        const AppState s = read("[DATABASE]\r\n;DATABASE=/commented\r\n ;REPLICADB=/not-comment\r\nx\r\n");
        QCOMPARE(s.DATABASE_PATH, QString());
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("/not-comment"));
    }

    void bracketEndsSectionAndLineSetsNothing() {
        const AppState s = read("[DATABASE]\r\nDATABASE=/a\r\nREPLICADB=/b[1]\r\nDATABASE=/c\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/a"));
        QCOMPARE(s.REPLICADB_PATH, QString());
    }

    void lineWithBothWordsSetsBothAndLaterLineWins() {
        AppState s = read("[DATABASE]\r\nREPLICADB=/database/rep.mdb\r\nx\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/database/rep.mdb"));
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("/database/rep.mdb"));
        s = read("[DATABASE]\r\nREPLICADB=/Database/rep.mdb\r\nDATABASE=/main.mdb\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/main.mdb"));
    }

    void lineWithoutEqualsYieldsWholeLine() {
        const AppState s = read("[DATABASE]\r\n  database path  \r\nx\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("database path"));
    }

    void keysOutsideTheSectionAreIgnored() {
        const AppState s = read(
            "DATABASE=/before\r\n[OTHER]\r\nDATABASE=/other\r\n[DATABASE]\r\nREPLICADB=/r\r\n[DATABASE]\r\n"
            "DATABASE=/second\r\n");
        QCOMPARE(s.DATABASE_PATH, QString());
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("/r"));
    }

    void headerAnywhereInLine() {
        const AppState s = read("xx [Database] yy\r\nDATABASE=/a\r\n");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/a"));
    }

    void lastLineOfSectionIsRead() {
        // Inside the section the line is examined before the end is tested, so a file without a final line
        // end still sets its last key.
        const AppState s = read("[DATABASE]\r\nDATABASE=/last");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/last"));
    }

    void headerOnLastLineIsNeverExamined() {
        AppState s = read("foo\r\n[DATABASE]");
        QCOMPARE(s.DATABASE_PATH, QString());
        s = read("[DATABASE]\r\n");
        QCOMPARE(s.DATABASE_PATH, QString());
    }

    void lineFeedOnlyFileIsOneLine() {
        const AppState s = read("[DATABASE]\nDATABASE=/a\nREPLICADB=/b\n");
        QCOMPARE(s.DATABASE_PATH, QString());
        QCOMPARE(s.REPLICADB_PATH, QString());
    }

    void carriageReturnAloneEndsALine() {
        const AppState s = read("[DATABASE]\rDATABASE=/a\rREPLICADB=/b\r");
        QCOMPARE(s.DATABASE_PATH, QStringLiteral("/a"));
        QCOMPARE(s.REPLICADB_PATH, QStringLiteral("/b"));
    }

    void noSectionLeavesBothEmpty() {
        const AppState s = read("[OTHER]\r\nDATABASE=/a\r\n");
        QVERIFY(s.DATABASE_PATH.isEmpty());
        QVERIFY(s.REPLICADB_PATH.isEmpty());
    }

    void missingAndEmptyFile() {
        test::Fixture f;
        try {
            READ_INI(f.state);
            QFAIL("a missing pell.ini must fail");
        } catch (const Error& e) {
            QCOMPARE(e.number(), err::FileNotFound);
        }
        QFile file(f.path(QStringLiteral("pell.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        try {
            READ_INI(f.state);
            QFAIL("an empty pell.ini must fail");
        } catch (const Error& e) {
            QCOMPARE(e.number(), err::InputPastEnd);
        }
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[DATABASE]\r\nDATABASE=/x.mdb\r\nREPLICADB=/y.mdb\r\n");
        file.close();
        READ_INI(f.state);
        QCOMPARE(f.state.DATABASE_PATH, QStringLiteral("/x.mdb"));
        QCOMPARE(f.state.REPLICADB_PATH, QStringLiteral("/y.mdb"));
    }

    void aDanglingLinkOrAPipeIsToldAndNeverWaitedOn() {
        test::Fixture f;
        const QString ini = f.path(QStringLiteral("pell.ini"));
        QVERIFY(QFile::link(f.path(QStringLiteral("gone.ini")), ini));
        try {
            READ_INI(f.state);
            QFAIL("a dangling link must fail");
        } catch (const Error& e) {
            QCOMPARE(e.number(), err::FileNotFound);
            QVERIFY2(e.text().contains(QLatin1String("gone.ini, which does not exist")),
                     qPrintable(e.text()));
        }
        QVERIFY(QFile::remove(ini));
        // A pipe with nobody writing to it would block the read forever.
        QCOMPARE(::mkfifo(QFile::encodeName(ini).constData(), 0600), 0);
        try {
            READ_INI(f.state);
            QFAIL("a pipe must fail");
        } catch (const Error& e) {
            QCOMPARE(e.number(), err::PathFileAccess);
            QVERIFY2(e.text().contains(QLatin1String("not a regular file")), qPrintable(e.text()));
        }
    }

    void centerPosition() {
        QCOMPARE(centerPositionTwips(QSizeF(15360, 11520), QSizeF(3870, 2400)), QPointF(5745, 3040));
        // A window larger than the screen lands at a negative position.
        const QPointF p = centerPositionTwips(QSizeF(3000, 3000), QSizeF(6000, 9000));
        QCOMPARE(p, QPointF(-1500, -2000));
    }

    void randomInputNeverCrashes() {
        QRandomGenerator random(20261206);
        const QByteArray alphabet("[]=;\r\n DATABASEREPLICADBdatabase/\t\"x");
        for (int round = 0; round < 3000; ++round) {
            QByteArray text;
            const int n = int(random.bounded(80));
            for (int i = 0; i < n; ++i)
                text += alphabet.at(int(random.bounded(alphabet.size())));
            AppState s;
            try {
                readIniText(s, text);
            } catch (const Error& e) {
                QCOMPARE(e.number(), err::InputPastEnd);
                QVERIFY(text.isEmpty());
            }
            QVERIFY(!s.DATABASE_PATH.contains(u'\r'));
        }
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"

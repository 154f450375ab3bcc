// READ_INI: every rule of the reader as a table, the file itself (missing, empty, a dangling link, a pipe), a
// randomized run that must never crash or hang, and CENTER_FORM's arithmetic.
#include "app/center_form.h"
#include "app/inifile.h"
#include "core/error.h"
#include "support/test_support.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/stat.h>

using namespace pell;
using namespace Qt::StringLiterals;

class TestIniFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rules_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("replicadb");
        QTest::newRow("typical") << QByteArray(
                                        "[DATABASE]\r\nDATABASE=c:/p/pell.mdb\r\nREPLICADB=c:/p/rep.mdb\r\n")
                                 << u"c:/p/pell.mdb"_s << u"c:/p/rep.mdb"_s;
        // Keys in any case; only blanks around the value are trimmed, tabs and quotation marks stay.
        QTest::newRow("case and blanks")
            << QByteArray("[database]\r\n  dataBase  =   /a b/x.mdb   \r\nRepLicaDb= \t/r.mdb\"  \r\nend\r\n")
            << u"/a b/x.mdb"_s << u"\t/r.mdb\""_s;
        QTest::newRow("comment in first column only")
            << QByteArray("[DATABASE]\r\n;DATABASE=/commented\r\n ;REPLICADB=/not-comment\r\nx\r\n")
            << QString() << u"/not-comment"_s;
        QTest::newRow("a bracket ends the section and sets nothing")
            << QByteArray("[DATABASE]\r\nDATABASE=/a\r\nREPLICADB=/b[1]\r\nDATABASE=/c\r\n") << u"/a"_s
            << QString();
        // "REPLICADB" contains "DATABASE" nowhere, but the path does: the line sets both.
        QTest::newRow("a line with both words sets both")
            << QByteArray("[DATABASE]\r\nREPLICADB=/database/rep.mdb\r\nx\r\n") << u"/database/rep.mdb"_s
            << u"/database/rep.mdb"_s;
        QTest::newRow("a later line wins")
            << QByteArray("[DATABASE]\r\nREPLICADB=/Database/rep.mdb\r\nDATABASE=/main.mdb\r\n")
            << u"/main.mdb"_s << u"/Database/rep.mdb"_s;
        QTest::newRow("no equals sign: the whole line")
            << QByteArray("[DATABASE]\r\n  database path  \r\nx\r\n") << u"database path"_s << QString();
        QTest::newRow("keys outside the section")
            << QByteArray("DATABASE=/before\r\n[OTHER]\r\nDATABASE=/other\r\n[DATABASE]\r\nREPLICADB=/"
                          "r\r\n[DATABASE]\r\n"
                          "DATABASE=/second\r\n")
            << QString() << u"/r"_s;
        QTest::newRow("header anywhere in its line")
            << QByteArray("xx [Database] yy\r\nDATABASE=/a\r\n") << u"/a"_s << QString();
        // Inside the section a line is examined before the end is tested: the last line counts.
        QTest::newRow("last line without line end")
            << QByteArray("[DATABASE]\r\nDATABASE=/last") << u"/last"_s << QString();
        QTest::newRow("header on the last line") << QByteArray("foo\r\n[DATABASE]") << QString() << QString();
        QTest::newRow("header alone") << QByteArray("[DATABASE]\r\n") << QString() << QString();
        QTest::newRow("line feeds alone: one line")
            << QByteArray("[DATABASE]\nDATABASE=/a\nREPLICADB=/b\n") << QString() << QString();
        QTest::newRow("carriage returns alone")
            << QByteArray("[DATABASE]\rDATABASE=/a\rREPLICADB=/b\r") << u"/a"_s << u"/b"_s;
        QTest::newRow("no section") << QByteArray("[OTHER]\r\nDATABASE=/a\r\n") << QString() << QString();
    }
    void rules() {
        QFETCH(QByteArray, text);
        QFETCH(QString, database);
        QFETCH(QString, replicadb);
        AppState state;
        readIniText(state, text);
        QCOMPARE(state.DATABASE_PATH, database);
        QCOMPARE(state.REPLICADB_PATH, replicadb);
    }

    void theFileItself() {
        test::Fixture f;
        const QString ini = f.path(u"pell.ini"_s);
        QCOMPARE(test::errorOf([&] { READ_INI(f.state); }), err::FileNotFound);
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(test::errorOf([&] { READ_INI(f.state); }), err::InputPastEnd);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[DATABASE]\r\nDATABASE=/x.mdb\r\nREPLICADB=/y.mdb\r\n");
        file.close();
        READ_INI(f.state);
        QCOMPARE(f.state.DATABASE_PATH + u'|' + f.state.REPLICADB_PATH, u"/x.mdb|/y.mdb"_s);
        // A dangling link is told as such; a pipe with nobody writing to it would block the read forever.
        QVERIFY(QFile::remove(ini) && QFile::link(f.path(u"gone.ini"_s), ini));
        QCOMPARE(test::errorOf([&] { READ_INI(f.state); }), err::FileNotFound);
        QVERIFY(test::errorText([&] { READ_INI(f.state); }).contains(u"gone.ini, which does not exist"_s));
        QVERIFY(QFile::remove(ini));
        QCOMPARE(::mkfifo(QFile::encodeName(ini).constData(), 0600), 0);
        QCOMPARE(test::errorOf([&] { READ_INI(f.state); }), err::PathFileAccess);
        QVERIFY(test::errorText([&] { READ_INI(f.state); }).contains(u"not a regular file"_s));
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
            const int error = test::errorOf([&] { readIniText(s, text); });
            QVERIFY(error == 0 || (error == err::InputPastEnd && text.isEmpty()));
            QVERIFY(!s.DATABASE_PATH.contains(u'\r'));
        }
    }

    void centerPosition() {
        QCOMPARE(centerPositionTwips(QSizeF(15360, 11520), QSizeF(3870, 2400)), QPointF(5745, 3040));
        // A window larger than the screen lands at a negative position.
        QCOMPARE(centerPositionTwips(QSizeF(3000, 3000), QSizeF(6000, 9000)), QPointF(-1500, -2000));
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"

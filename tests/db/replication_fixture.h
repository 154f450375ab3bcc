#pragma once
// Helpers shared by the replication tests: a master with its replicas over real files, exchanges, and
// comparisons of whole files.
#include "core/error.h"
#include "db/database.h"
#include "db/replication/replication.h"
#include "support/test_support.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace pell::test {

using namespace Qt::StringLiterals;
using db::Database;
namespace rep = db::replication;

// Every table with its rows, sorted: equal texts mean equal data, to the byte (text that is not UTF-8
// included), save that quote() ends text at a NUL and drops the sign of a zero.
inline QString dumpData(const QString& path) {
    auto db = Database::open(path, {.readOnly = true});
    QString out;
    for (const QString& table : db->tableNames()) {
        QStringList cols;
        for (const QString& c : db->columnNames(table))
            cols << u"typeof(%1)||':'||hex(quote(%1))"_s.arg(db::quoteIdentifier(c));
        auto stmt =
            db->prepare(u"SELECT %1 FROM %2"_s.arg(cols.join(u"||','||"_s), db::quoteIdentifier(table)));
        QStringList rows;
        while (stmt.step())
            rows << stmt.value(0).toString();
        rows.sort();
        out += table + u'\n' + rows.join(u'\n') + u'\n';
    }
    return out;
}

// The bytes of each file, to see that an exchange wrote nothing.
inline QList<QByteArray> fileHashes(const QStringList& files) {
    QList<QByteArray> hashes;
    for (const QString& path : files) {
        QFile file(path);
        hashes << (file.open(QIODevice::ReadOnly)
                       ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1)
                       : QByteArray());
    }
    return hashes;
}

inline QString nameOf(const QString& path, const QString& user) {
    return str(path, u"SELECT User_Name FROM \"USER\" WHERE User_ID='%1'"_s.arg(user));
}

// What `pelldb check` says: relationships, declared or not, hold in the file.
inline bool sound(const QString& path) {
    QString out;
    return runPelldb({u"check"_s, path}, &out) == 0;
}

// The lost versions the files logged, exactly as pelldb gives them to programs: a JSON object a line.
inline QString lostVersions(const QStringList& files) {
    QString lost;
    for (const QString& file : files) {
        QString out;
        runPelldb({u"conflicts"_s, file, u"--all"_s, u"--json"_s}, &out);
        for (const QJsonValue& c : QJsonDocument::fromJson(out.toUtf8()).array())
            if (c[u"lost"_s].isObject())
                lost +=
                    u"    lost: "_s +
                    QString::fromUtf8(QJsonDocument(c[u"lost"_s].toObject()).toJson(QJsonDocument::Compact)) +
                    u'\n';
    }
    return lost;
}

// The reasons logged for a table's conflicts, one per line, in the order they were logged.
inline QString reasons(const QString& path, const QString& table) {
    return str(path,
               u"SELECT group_concat(key_text||' '||reason, char(10)) FROM (SELECT * FROM _pell_conflicts "
               "WHERE tbl='%1' ORDER BY id)"_s.arg(table));
}

// The statement that adds n rows to a table, `values` the columns of row i (1..n).
inline QString fillSql(const QString& table, int n, const QString& values) {
    return u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<%1) "
           "INSERT INTO %2 SELECT %3 FROM n"_s.arg(QString::number(n), table, values);
}

inline void makeMaster(const QString& path) {
    auto db = Database::open(path, {.exclusive = true});
    db->appendProperty(db->createProperty(u"Replicable"_s, 10, u"T"_s));
}

inline void makeReplica(const QString& master, const QString& replica) {
    Database::open(master)->makeReplica(replica, u"replica of "_s + replica);
}

// Rows whose table content is not what the versions the member holds make of them (empty: none).
inline QStringList divergent(const QString& path) {
    auto db = Database::open(path, {.readOnly = true});
    return rep::divergences(*db);
}

// An exchange, after which both members must hold exactly what their versions make: a test that finds a
// divergent row fails there, naming the rows.
inline rep::SyncStats sync(const QString& from, const QString& partner, int mode = db::SyncImpExp,
                           int batch = 0) {
    rep::SyncStats stats;
    {
        auto db = Database::open(from);
        stats = rep::synchronizeWithStats(*db, partner, mode, batch);
    }
    for (const QString& path : {from, partner})
        if (const QStringList rows = divergent(path); !rows.isEmpty())
            QTest::qFail(qPrintable(path + u" diverges from its versions:\n"_s + rows.join(u'\n')), __FILE__,
                         __LINE__);
    return stats;
}

// The sqlite3 shell, another program, with foreign keys on; its exit status.
inline int shell(const QString& path, const QString& sql) {
    QProcess p;
    p.start(u"sqlite3"_s, {path, u"PRAGMA foreign_keys=ON;"_s + sql});
    if (!p.waitForFinished(30000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Everything an exchange read or sent: 0 when it found nothing new.
inline qint64 traffic(const rep::SyncStats& s) {
    return s.imported.received + s.exported.received + s.imported.batches + s.exported.batches;
}

// A master (the sample database unless given) and one replica of it.
struct Pair {
    explicit Pair(Fixture& f, const QString& given = {})
        : master(given.isEmpty() ? f.makeSharedDb() : given) {
        makeMaster(master);
        makeReplica(master, replica = f.path(u"replica.mdb"_s));
    }
    QString master;
    QString replica;
    // A count over both files.
    qint64 both(const QString& sql) const { return num(master, sql) + num(replica, sql); }
    qint64 conflicts() const { return both(u"SELECT count(*) FROM _pell_conflicts"_s); }
    bool same() const { return dumpData(master) == dumpData(replica); }
};

} // namespace pell::test

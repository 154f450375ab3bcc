#pragma once

// What the replication tests share: a program folder with the main database and the list of replicas, and
// plain looks at both files as another program would take them.
#include "core/error.h"
#include "db/database.h"
#include "db/replication/replication.h"
#include "replication/REPLICA_FORM.h"
#include "support/test_support.h"
#include "widgets/data_control.h"
#include "widgets/data_grid.h"

#include <QLabel>
#include <QtTest>

namespace pell::test {

// The rows of REPLICA in the order they were written (a null location reads as "<null>").
inline QStringList listedLocations(const QString& replicaDb) {
    const QVariant joined = scalarRaw(
        replicaDb, QStringLiteral("SELECT group_concat(coalesce(Replica_Location, '<null>'), char(10)) FROM "
                                  "(SELECT Replica_Location FROM REPLICA ORDER BY rowid)"));
    if (joined.isNull())
        return {};
    return joined.toString().split(u'\n');
}

inline void listLocation(const QString& replicaDb, const QString& location) {
    execRaw(replicaDb, QStringLiteral("INSERT INTO REPLICA (Replica_Location) VALUES ('") +
                           QString(location).replace(u'\'', QStringLiteral("''")) + QStringLiteral("')"));
}

// Makes the main database a master the way the engine's own callers do.
inline void makeMasterDirectly(const QString& mainDb) {
    auto db = db::Database::open(mainDb, {.exclusive = true});
    db->appendProperty(
        db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T")));
}

inline void makeReplicaDirectly(const QString& mainDb, const QString& location) {
    auto db = db::Database::open(mainDb);
    db->makeReplica(location, QStringLiteral("replica of ") + location);
}

inline void addCategory(const QString& dbPath, const QString& category) {
    auto db = db::Database::open(dbPath);
    db->execute(QStringLiteral("INSERT INTO LU_Category (Category) VALUES (?1)"), {category});
}

inline bool hasCategory(const QString& dbPath, const QString& category) {
    return scalarRaw(dbPath, QStringLiteral("SELECT count(*) FROM LU_Category WHERE Category = '") +
                                 category + QStringLiteral("'"))
               .toInt() == 1;
}

// The text the engine gives for a call, to compare with what a window showed.
template <class F> QString engineText(F&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.text();
    }
    return QStringLiteral("<no error>");
}

inline QStringList gridColumn(const DataGrid& grid) {
    QStringList cells;
    for (int row = 0; row < grid.recordRows(); ++row)
        cells << grid.cellText(row, 0);
    return cells;
}

} // namespace pell::test

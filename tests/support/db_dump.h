#pragma once

// The whole content of a database file as one text: every table's rows in rowid order and the schema, so
// that two files can be compared for equal content whatever their page layout.

#include "shell/Admin_FORM.h"
#include "support/test_support.h"

#include <QFile>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <sqlite3.h>

namespace pell::test {

inline QString dumpTable(sqlite3* db, const QString& table) {
    QString text;
    sqlite3_stmt* stmt = nullptr;
    const QByteArray sql = "SELECT * FROM \"" + table.toUtf8() + "\" ORDER BY rowid";
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return u"<unreadable>"_s;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, i));
            text += QString::number(sqlite3_column_type(stmt, i)) + u':' +
                    QString::fromLatin1(QByteArray(bytes, sqlite3_column_bytes(stmt, i)).toHex()) + u'|';
        }
        text += u'\n';
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE ? text : text + u"<damaged>"_s;
}

inline QStringList tableNames(sqlite3* db) {
    QStringList names;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name", -1, &stmt,
                       nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
        names << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    return names;
}

inline QString schemaText(sqlite3* db) {
    QString text;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_schema ORDER BY type, name", -1, &stmt,
                       nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int i = 0; i < 3; ++i)
            text += QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i))) + u'|';
        text += u'\n';
    }
    sqlite3_finalize(stmt);
    return text;
}

// Table name -> its rows, plus the schema under the empty name.
inline QMap<QString, QString> dumpDatabase(const QString& path, bool withSchema = true) {
    QMap<QString, QString> dump;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return dump;
    }
    for (const QString& table : tableNames(db))
        dump.insert(table, dumpTable(db, table));
    if (withSchema)
        dump.insert(QString(), schemaText(db));
    sqlite3_close(db);
    return dump;
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

inline QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The bytes of a database file less its change counters (header bytes 24-27 and 92-95) and schema cookie
// (40-43), which a write moves on to tell other connections: two files with equal results hold the same
// content.
inline QByteArray withoutCounters(QByteArray bytes) {
    if (bytes.size() >= 100) {
        bytes.replace(24, 4, QByteArray(4, '\0'));
        bytes.replace(40, 4, QByteArray(4, '\0'));
        bytes.replace(92, 4, QByteArray(4, '\0'));
    }
    return bytes;
}

// The real main window with the one maintenance button a test drives.
struct MainWindow {
    MainWindow(Fixture& f, QPushButton* Admin_FORM::*which) : window(f.ctx), button(which) {}
    void run() { (window.*button)->click(); }
    Admin_FORM window;
    QPushButton* Admin_FORM::*button;
};

// A shared database with `rows` more rows made from `insert` (%1 = 1..4, %2 = the row's index).
inline QString makeFilledDb(Fixture& f, const QString& insert, int rows, const QString& after = {}) {
    const QString db = f.makeSharedDb();
    QString sql = u"BEGIN;"_s;
    for (int i = 0; i < rows; ++i)
        sql += insert.arg(i % 4 + 1).arg(i);
    execRaw(db, sql + u"COMMIT;"_s + after);
    return db;
}

} // namespace pell::test

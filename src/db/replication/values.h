#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

struct sqlite3_stmt;

// Column values exactly as the engine stores them. Replication carries rows between files through these and
// never through text conversions, so text that is not valid UTF-8, NUL inside text, -0.0, 64-bit integers
// and blobs of any size arrive byte for byte.
namespace pell::db::replication {

struct Value {
    enum Type : unsigned char { Null = 0, Integer = 1, Real = 2, Text = 3, Blob = 4 };
    Type type = Null;
    qint64 integer = 0;
    double real = 0;
    QByteArray bytes; // text (as stored, no decoding) or blob

    static Value fromColumn(sqlite3_stmt* stmt, int column);
    static Value ofInteger(qint64 v) { return Value{Integer, v, 0, {}}; }
    static Value ofText(const QString& v) { return Value{Text, 0, 0, v.toUtf8()}; }
    // Binds to a 1-based parameter; the bytes are copied by the engine.
    int bind(sqlite3_stmt* stmt, int parameter) const;

    bool isNull() const { return type == Null; }
    // Exact equality: type and bits (so 1 and 1.0 differ, and -0.0 differs from 0.0).
    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }
    // For people: a number, a quoted text, x'..' for a blob, null.
    QString display() const;
};

using Row = std::vector<Value>;

// Reads `count` columns starting at `first`.
Row readRow(sqlite3_stmt* stmt, int first, int count);
// Binds the values to consecutive parameters starting at `first` (1-based).
void bindRow(sqlite3_stmt* stmt, int first, const Row& row);

// A self-describing exact encoding of a row, with its column names, for the conflict log.
QByteArray encodeRecord(const QStringList& columns, const Row& row);
bool decodeRecord(const QByteArray& record, QStringList* columns, Row* row);
// The exact encoding of one value, and of unsigned numbers in as few bytes as they need (7 bits a byte).
// Readers return false at the end of the input or on a malformed value, never reading past the end.
void putVarint(QByteArray& out, quint64 n);
bool getVarint(const QByteArray& in, qsizetype& at, quint64* n);
void putValue(QByteArray& out, const Value& v);
bool getValue(const QByteArray& in, qsizetype& at, Value* v);

// Key values alone (the names are the table's key columns).
QByteArray encodeKey(const Row& key);
void appendKey(QByteArray& out, const Row& key);
Row decodeKey(const QByteArray& encoded);

// The one form in which a row's key is shown: a JSON array of its values, e.g. ["dev1"] or [3].
QString keyText(const Row& key);
// A record as a JSON object text for people: {"User_ID":"dev1","User_Name":"Programmer"}.
QString recordText(const QByteArray& record);

} // namespace pell::db::replication

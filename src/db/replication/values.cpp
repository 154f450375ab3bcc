#include "db/replication/values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <sqlite3.h>

#include <cstring>

namespace pell::db::replication {

Value Value::fromColumn(sqlite3_stmt* stmt, int column) {
    Value v;
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
        v.type = Integer;
        v.integer = sqlite3_column_int64(stmt, column);
        break;
    case SQLITE_FLOAT:
        v.type = Real;
        v.real = sqlite3_column_double(stmt, column);
        break;
    case SQLITE_TEXT: {
        v.type = Text;
        // The bytes as stored: asking for the text before its length keeps the engine from converting it.
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        v.bytes = QByteArray(text ? text : "", sqlite3_column_bytes(stmt, column));
        break;
    }
    case SQLITE_BLOB: {
        v.type = Blob;
        const void* blob = sqlite3_column_blob(stmt, column);
        v.bytes = QByteArray(static_cast<const char*>(blob), sqlite3_column_bytes(stmt, column));
        if (v.bytes.isNull())
            v.bytes = QByteArray(""); // an empty blob is not null
        break;
    }
    default:
        break;
    }
    return v;
}

int Value::bind(sqlite3_stmt* stmt, int parameter) const {
    switch (type) {
    case Integer:
        return sqlite3_bind_int64(stmt, parameter, integer);
    case Real:
        return sqlite3_bind_double(stmt, parameter, real);
    case Text:
        return sqlite3_bind_text64(stmt, parameter, bytes.constData(), sqlite3_uint64(bytes.size()),
                                   SQLITE_TRANSIENT, SQLITE_UTF8);
    case Blob:
        return sqlite3_bind_blob64(stmt, parameter, bytes.constData(), sqlite3_uint64(bytes.size()),
                                   SQLITE_TRANSIENT);
    case Null:
        break;
    }
    return sqlite3_bind_null(stmt, parameter);
}

bool Value::operator==(const Value& other) const {
    if (type != other.type)
        return false;
    switch (type) {
    case Integer:
        return integer == other.integer;
    case Real:
        return std::memcmp(&real, &other.real, sizeof real) == 0;
    case Text:
    case Blob:
        return bytes == other.bytes;
    case Null:
        break;
    }
    return true;
}

namespace {

// Text that is valid UTF-8 is shown as itself; other bytes are shown by their hexadecimal digits.
QJsonValue jsonOf(const Value& v) {
    switch (v.type) {
    case Value::Integer:
        return QJsonValue(v.integer);
    case Value::Real:
        return QJsonValue(v.real);
    case Value::Text: {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder(v.bytes);
        if (!decoder.hasError())
            return QJsonValue(text);
        return QJsonObject{{QStringLiteral("text-hex"), QString::fromLatin1(v.bytes.toHex())}};
    }
    case Value::Blob:
        return QJsonObject{{QStringLiteral("hex"), QString::fromLatin1(v.bytes.toHex())}};
    case Value::Null:
        break;
    }
    return QJsonValue(QJsonValue::Null);
}

} // namespace

void putVarint(QByteArray& out, quint64 n) {
    while (n >= 0x80) {
        out.append(char(n | 0x80));
        n >>= 7;
    }
    out.append(char(n));
}

bool getVarint(const QByteArray& in, qsizetype& at, quint64* n) {
    quint64 result = 0;
    for (int shift = 0; shift < 64 && at < in.size(); shift += 7) {
        const auto byte = quint8(in[at++]);
        result |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80)) {
            *n = result;
            return true;
        }
    }
    return false;
}

void putValue(QByteArray& out, const Value& v) {
    out.append(char(v.type));
    switch (v.type) {
    case Value::Integer:
        putVarint(out, quint64(v.integer));
        break;
    case Value::Real: {
        quint64 bits = 0;
        std::memcpy(&bits, &v.real, sizeof bits);
        putVarint(out, bits);
        break;
    }
    case Value::Text:
    case Value::Blob:
        putVarint(out, quint64(v.bytes.size()));
        out.append(v.bytes);
        break;
    case Value::Null:
        break;
    }
}

bool getValue(const QByteArray& in, qsizetype& at, Value* v) {
    if (at >= in.size())
        return false;
    const auto type = quint8(in[at++]);
    if (type > Value::Blob)
        return false;
    v->type = Value::Type(type);
    quint64 n = 0;
    switch (v->type) {
    case Value::Integer:
        if (!getVarint(in, at, &n))
            return false;
        v->integer = qint64(n);
        return true;
    case Value::Real:
        if (!getVarint(in, at, &n))
            return false;
        std::memcpy(&v->real, &n, sizeof n);
        return true;
    case Value::Text:
    case Value::Blob:
        if (!getVarint(in, at, &n) || n > quint64(in.size() - at))
            return false;
        v->bytes = in.mid(at, qsizetype(n));
        if (v->bytes.isNull())
            v->bytes = QByteArray("");
        at += qsizetype(n);
        return true;
    case Value::Null:
        return true;
    }
    return false;
}

namespace {

constexpr char RecordMark = 'R';
constexpr char KeyMark = 'K';

} // namespace

QString Value::display() const {
    switch (type) {
    case Integer:
        return QString::number(integer);
    case Real:
        return QString::number(real, 'g', 17);
    case Text:
        return QString::fromUtf8(QJsonDocument(QJsonArray{jsonOf(*this)}).toJson(QJsonDocument::Compact))
            .mid(1)
            .chopped(1);
    case Blob:
        return QStringLiteral("x'") + QString::fromLatin1(bytes.toHex()) + u'\'';
    case Null:
        break;
    }
    return QStringLiteral("null");
}

Row readRow(sqlite3_stmt* stmt, int first, int count) {
    Row row;
    row.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        row.push_back(Value::fromColumn(stmt, first + i));
    return row;
}

void bindRow(sqlite3_stmt* stmt, int first, const Row& row) {
    for (size_t i = 0; i < row.size(); ++i)
        row[i].bind(stmt, first + int(i));
}

QByteArray encodeRecord(const QStringList& columns, const Row& row) {
    QByteArray out(1, RecordMark);
    const qsizetype n = qMin(columns.size(), qsizetype(row.size()));
    putVarint(out, quint64(n));
    for (qsizetype i = 0; i < n; ++i) {
        const QByteArray name = columns[i].toUtf8();
        putVarint(out, quint64(name.size()));
        out.append(name);
        putValue(out, row[size_t(i)]);
    }
    return out;
}

bool decodeRecord(const QByteArray& record, QStringList* columns, Row* row) {
    columns->clear();
    row->clear();
    qsizetype at = 1;
    quint64 n = 0;
    if (record.isEmpty() || record[0] != RecordMark || !getVarint(record, at, &n))
        return false;
    for (quint64 i = 0; i < n; ++i) {
        quint64 length = 0;
        if (!getVarint(record, at, &length) || length > quint64(record.size() - at))
            return false;
        *columns << QString::fromUtf8(record.mid(at, qsizetype(length)));
        at += qsizetype(length);
        Value v;
        if (!getValue(record, at, &v))
            return false;
        row->push_back(v);
    }
    return true;
}

void appendKey(QByteArray& out, const Row& key) {
    out.append(KeyMark);
    putVarint(out, key.size());
    for (const Value& v : key)
        putValue(out, v);
}

QByteArray encodeKey(const Row& key) {
    QByteArray out;
    appendKey(out, key);
    return out;
}

Row decodeKey(const QByteArray& encoded) {
    Row key;
    qsizetype at = 1;
    quint64 n = 0;
    if (encoded.isEmpty() || encoded[0] != KeyMark || !getVarint(encoded, at, &n))
        return key;
    for (quint64 i = 0; i < n; ++i) {
        Value v;
        if (!getValue(encoded, at, &v))
            return {};
        key.push_back(v);
    }
    return key;
}

QString keyText(const Row& key) {
    QJsonArray a;
    for (const Value& v : key)
        a.append(jsonOf(v));
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QString recordText(const QByteArray& record) {
    QStringList columns;
    Row row;
    if (!decodeRecord(record, &columns, &row))
        return {};
    QJsonObject o;
    for (qsizetype i = 0; i < columns.size(); ++i)
        o.insert(columns[i], jsonOf(row[size_t(i)]));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace pell::db::replication

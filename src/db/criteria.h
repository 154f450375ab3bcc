#pragma once

#include <QString>
#include <QVariant>

namespace pell::db {

// A search criterion of the two forms the windows use: column = 'value' and IsNull(column).
// The windows build them with equals()/isNull(); parse() reads the text form for callers that hold one.
// Values travel as bound parameters and are compared in memory, so no value can change a statement.
class Criteria {
public:
    enum class Kind { Equals, IsNull };

    static Criteria equals(const QString& column, const QString& value);
    static Criteria isNull(const QString& column);
    // Throws Error 3077 on a text of neither form.
    static Criteria parse(const QString& text);

    Kind kind() const { return m_kind; }
    const QString& column() const { return m_column; }
    const QString& value() const { return m_value; }
    QString toText() const;

    // Does a field value meet the criterion? Text compares like the engine's keys: without regard to the
    // case of ASCII letters.
    bool matches(const QVariant& field) const;

private:
    Criteria(Kind kind, QString column, QString value);
    Kind m_kind;
    QString m_column;
    QString m_value;
};

// The engine's text comparison (ASCII letters folded, everything else exact), as used by the keys.
bool textEqualsNoCase(const QString& a, const QString& b);

} // namespace pell::db

#include "db/criteria.h"

#include "core/error.h"

namespace pell::db {

namespace {
bool isIdentifierChar(QChar c) {
    return c.isLetterOrNumber() || c == u'_' || c == u'$';
}

QString identifier(const QString& text) {
    QString t = text.trimmed();
    if (t.size() >= 2 && t.front() == u'[' && t.back() == u']')
        return t.mid(1, t.size() - 2);
    if (t.isEmpty())
        return {};
    for (QChar c : t)
        if (!isIdentifierChar(c))
            return {};
    return t;
}
} // namespace

Criteria::Criteria(Kind kind, QString column, QString value)
    : m_kind(kind), m_column(std::move(column)), m_value(std::move(value)) {}

Criteria Criteria::equals(const QString& column, const QString& value) {
    return Criteria(Kind::Equals, column, value);
}

Criteria Criteria::isNull(const QString& column) {
    return Criteria(Kind::IsNull, column, {});
}

Criteria Criteria::parse(const QString& text) {
    const QString t = text.trimmed();
    if (t.startsWith(QLatin1String("IsNull("), Qt::CaseInsensitive) && t.endsWith(u')')) {
        const QString column = identifier(t.mid(7, t.size() - 8));
        if (column.isEmpty())
            throw Error::make(err::CriteriaSyntax, text);
        return isNull(column);
    }
    const qsizetype eq = t.indexOf(u'=');
    if (eq <= 0)
        throw Error::make(err::CriteriaSyntax, text);
    const QString column = identifier(t.left(eq));
    const QString rest = t.mid(eq + 1).trimmed();
    // The value stands between the first and the last apostrophe; apostrophes inside it are taken as
    // they are, which is how the criteria texts were always put together.
    if (column.isEmpty() || rest.size() < 2 || rest.front() != u'\'' || rest.back() != u'\'')
        throw Error::make(err::CriteriaSyntax, text);
    return equals(column, rest.mid(1, rest.size() - 2));
}

QString Criteria::toText() const {
    if (m_kind == Kind::IsNull)
        return QStringLiteral("IsNull(") + m_column + u')';
    return m_column + QStringLiteral(" = '") + m_value + u'\'';
}

bool textEqualsNoCase(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a.at(i).unicode();
        char16_t y = b.at(i).unicode();
        if (x >= u'A' && x <= u'Z')
            x = char16_t(x + 32);
        if (y >= u'A' && y <= u'Z')
            y = char16_t(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool Criteria::matches(const QVariant& field) const {
    if (m_kind == Kind::IsNull)
        return field.isNull();
    if (field.isNull())
        return false;
    switch (field.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int: {
        bool ok = false;
        const qlonglong v = m_value.trimmed().toLongLong(&ok);
        return ok && v == field.toLongLong();
    }
    case QMetaType::Double: {
        bool ok = false;
        const double v = m_value.trimmed().toDouble(&ok);
        return ok && v == field.toDouble();
    }
    default:
        return textEqualsNoCase(field.toString(), m_value);
    }
}

} // namespace pell::db

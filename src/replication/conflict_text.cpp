#include "replication/conflict_text.h"

#include "db/schema.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace pell::conflict_text {

namespace {

namespace schema = db::schema;

// The columns the windows show as check boxes.
bool yesNo(const QString& table, const QString& column) {
    static const QList<std::pair<QString, QStringList>> columns{
        {schema::User,
         {schema::user::ReviewAccount, schema::user::AllowForwarding, schema::user::EditContactInfo,
          schema::user::DeleteContactInfo, schema::user::FullAccess, schema::user::TeammateAccess}},
        {schema::Tool,
         {schema::tool::AccessScreen, schema::tool::ScrScreen, schema::tool::ParamUserId,
          schema::tool::ParamScrNumber}},
        {schema::System,
         {schema::options::MandTargetDate, schema::options::MandCategory, schema::options::MandContact,
          schema::options::MandPriority, schema::options::AllowUnownedEdit,
          schema::options::EditAttachments}},
    };
    for (const auto& [name, list] : columns)
        if (name.compare(table, Qt::CaseInsensitive) == 0)
            return list.contains(column, Qt::CaseInsensitive);
    return false;
}

// A JSON literal of the engine's: text comes back unquoted, anything else as it stands.
QJsonValue literal(const QString& text) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + ']');
    return doc.isArray() && doc.array().size() == 1 ? doc.array().at(0) : QJsonValue(text);
}

} // namespace

bool masked(const QString& table, const QString& column) {
    return table.compare(schema::User, Qt::CaseInsensitive) == 0 &&
           column.compare(schema::user::Password, Qt::CaseInsensitive) == 0;
}

QString value(const QString& table, const QString& column, const QString& engineText) {
    if (engineText.isEmpty() || engineText == QLatin1String("null"))
        return {};
    const bool isBlob = engineText.startsWith(QLatin1String("x'"));
    const QJsonValue v = isBlob ? QJsonValue(engineText) : literal(engineText);
    QString shown = v.isString() ? v.toString() : engineText;
    if (yesNo(table, column) && !isBlob) {
        // As a check box reads it: any value but 0 is yes.
        const double number = v.isDouble() ? v.toDouble() : shown.toDouble();
        return number != 0.0 ? QStringLiteral("Yes") : QStringLiteral("No");
    }
    if (masked(table, column))
        return QString(shown.size(), u'*');
    return shown;
}

QString key(const QString& keyJson) {
    const QJsonDocument doc = QJsonDocument::fromJson(keyJson.toUtf8());
    if (!doc.isArray())
        return keyJson;
    QStringList parts;
    for (const QJsonValue part : doc.array()) {
        if (part.isString())
            parts << part.toString();
        else if (part.isNull())
            parts << QString();
        else
            parts << QString::fromUtf8(QJsonDocument(QJsonArray{part}).toJson(QJsonDocument::Compact))
                         .mid(1)
                         .chopped(1);
    }
    return parts.join(QStringLiteral(", "));
}

QList<Line> lines(const db::replication::ConflictView& c) {
    QList<Line> differing, same;
    for (qsizetype i = 0; i < c.columns.size(); ++i) {
        Line line{c.columns[i], c.keptDeleted ? QString() : value(c.table, c.columns[i], c.kept.value(i)),
                  c.lostDeleted ? QString() : value(c.table, c.columns[i], c.lost.value(i)),
                  c.differs.value(i)};
        (line.differs ? differing : same) << line;
    }
    return differing + same;
}

QString openCount(qsizetype count) {
    if (count == 0)
        return QStringLiteral("No open conflicts");
    return count == 1 ? QStringLiteral("1 open conflict") : QStringLiteral("%1 open conflicts").arg(count);
}

} // namespace pell::conflict_text

#pragma once

#include "db/replication/replication.h"

#include <QList>
#include <QString>

// A conflict's versions as the program shows values elsewhere, for the Conflicts window and pelldb's text
// list alike: keys as text, yes/no columns as Yes and No, nothing for Null, passwords as asterisks, and the
// columns whose versions differ first.
namespace pell::conflict_text {

struct Line {
    QString column;
    QString kept; // empty where that version has no record
    QString lost;
    bool differs = false;
};

// A value the engine shows for people (a JSON literal: "text", -1, null, x'..') in the program's terms.
QString value(const QString& table, const QString& column, const QString& engineText);
// A row key (a JSON array: ["dev1"], [3]) as text; the parts of a key of several columns joined by ", ".
QString key(const QString& keyJson);
// Whether the column's values stay hidden: the user's password, as the user editor hides it.
bool masked(const QString& table, const QString& column);
// Every column of the conflict, those whose versions differ first, each in its order.
QList<Line> lines(const db::replication::ConflictView& conflict);
// "3 open conflicts", "1 open conflict", "No open conflicts".
QString openCount(qsizetype count);

} // namespace pell::conflict_text

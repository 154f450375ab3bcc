#pragma once

#include <QMap>
#include <QString>

// Versions of a row and the rule that orders them. The reasoning behind the rule is in docs/replication.md.
namespace pell::db::replication {

// How far a member has seen the changes of each writer (a member writes under its replica identity):
// writer -> the highest clock value seen. Used both per row (a version's history) and per member (what a
// member holds).
using Clocks = QMap<qint64, qint64>;
QString clocksText(const Clocks& clocks); // JSON object, null text when empty
Clocks parseClocks(const QString& text);
// Element-wise maximum.
void raise(Clocks& into, const Clocks& from);
// Whether `a` has seen everything `b` has.
bool covers(const Clocks& a, const Clocks& b);

// One version of a row. Its dot (writer, clock) names it. The incarnation it belongs to is named by the dot
// of the change that created the row (born): a row deleted and added again is a new incarnation.
struct Version {
    qint64 bornClock = 0;
    qint64 bornWriter = 0;
    qint64 clock = 0;
    qint64 writer = 0;
    bool deleted = false;
    // The versions of this row that the writer had seen when it made this one: writer -> highest clock.
    Clocks history;
    // For a row that belongs to another (its attachments to a task): the incarnation of that row it was made
    // for, so that it never attaches to another row added later under the same key. Zero when not known.
    qint64 parentBornClock = 0;
    qint64 parentBornWriter = 0;

    bool sameDot(const Version& other) const { return clock == other.clock && writer == other.writer; }
    bool sameIncarnation(const Version& other) const {
        return bornClock == other.bornClock && bornWriter == other.bornWriter;
    }
    // Whether the writer of this version had seen `other` (or something that replaced it).
    bool saw(const Version& other) const;
    // Whether the writer of this version had seen the creation of `other`'s incarnation.
    bool sawBirthOf(const Version& other) const;
};

// The order of versions of one row, the same on every member: the later incarnation, then within one
// incarnation a deletion above any change, then the later clock, then the higher writer identity. A version
// made after seeing another is always above it.
bool above(const Version& a, const Version& b);

} // namespace pell::db::replication

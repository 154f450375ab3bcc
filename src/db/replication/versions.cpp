#include "db/replication/versions.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <tuple>

namespace pell::db::replication {

QString clocksText(const Clocks& clocks) {
    if (clocks.isEmpty())
        return {};
    QJsonObject o;
    for (auto it = clocks.cbegin(); it != clocks.cend(); ++it)
        o.insert(QString::number(it.key()), QJsonValue(it.value()));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

Clocks parseClocks(const QString& text) {
    Clocks clocks;
    if (text.isEmpty())
        return clocks;
    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
    for (auto it = o.begin(); it != o.end(); ++it)
        clocks.insert(it.key().toLongLong(), it.value().toInteger());
    return clocks;
}

void raise(Clocks& into, const Clocks& from) {
    for (auto it = from.cbegin(); it != from.cend(); ++it) {
        qint64& mine = into[it.key()];
        mine = qMax(mine, it.value());
    }
}

bool covers(const Clocks& a, const Clocks& b) {
    for (auto it = b.cbegin(); it != b.cend(); ++it)
        if (a.value(it.key()) < it.value())
            return false;
    return true;
}

namespace {
// Whether the writer of `v` had seen the change (writer, clock). A writer has seen its own earlier changes.
bool sawDot(const Version& v, qint64 writer, qint64 clock) {
    if (v.writer == writer && v.clock >= clock)
        return true;
    return v.history.value(writer) >= clock;
}
} // namespace

bool Version::saw(const Version& other) const {
    return sawDot(*this, other.writer, other.clock);
}

bool Version::sawBirthOf(const Version& other) const {
    return sawDot(*this, other.bornWriter, other.bornClock);
}

bool above(const Version& a, const Version& b) {
    return std::make_tuple(a.bornClock, a.bornWriter, a.deleted, a.clock, a.writer) >
           std::make_tuple(b.bornClock, b.bornWriter, b.deleted, b.clock, b.writer);
}

} // namespace pell::db::replication

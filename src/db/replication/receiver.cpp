#include "db/replication/receiver.h"

#include "core/error.h"

#include <QDateTime>

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

// Rows chained through relationships are followed this deep at most (a chain of team leaders).
constexpr int MaxDepth = 64;

QByteArray tag(int table, const Row& key) {
    return QByteArray::number(table) + ':' + encodeKey(key);
}

bool hasNull(const Row& values) {
    for (const Value& v : values)
        if (v.isNull())
            return true;
    return values.empty();
}

Version keptVersion(const Version& live) {
    Version v = live;
    v.deleted = false;
    v.history.clear();
    return v;
}

} // namespace

Receiver::Receiver(sqlite3* db, qint64 me, std::vector<TableStore*> stores, QList<Link> links, Source* source,
                   DirectionStats& stats)
    : m_db(db), m_me(me), m_stores(std::move(stores)), m_links(std::move(links)), m_source(source),
      m_stats(stats), m_clock(readClock(db)), m_asChild(m_stores.size()), m_asParent(m_stores.size()) {
    for (TableStore* store : m_stores)
        store->refresh();
    for (const Link& link : m_links) {
        const int child = indexOf(link.child);
        const int parent = indexOf(link.parent);
        if (child < 0 || parent < 0)
            continue;
        m_asChild[size_t(child)].push_back({&link, child, parent});
        m_asParent[size_t(parent)].push_back({&link, child, parent});
    }
}

QString Receiver::text(const char* exchanged, const char* local) const {
    return QString::fromUtf8(m_source ? exchanged : local);
}

int Receiver::indexOf(const QString& table) const {
    for (size_t i = 0; i < m_stores.size(); ++i)
        if (m_stores[i]->info().name.compare(table, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

qint64 Receiver::tick(qint64 past) {
    m_clock.now = qMax(qMax(m_clock.now + 1, wallClock()), past + 1);
    return m_clock.now;
}

void Receiver::apply(const Change& c) {
    if (c.conflict) {
        m_changed |= mergeConflict(m_db, *c.conflict, tick());
        return;
    }
    TableStore& store = *m_stores[size_t(c.table)];
    const bool restrictParent = store.info().restrictParent;
    ++m_stats.received;
    // The common case, a row new here whose parents stand: row and shadow written at once.
    if (!c.version.deleted && store.info().keyed && m_placing.isEmpty()) {
        const qint64 pulls = m_pulls;
        const ParentCheck parents = checkParents(c.table, c.key, *c.content, &c.version, 0);
        if (parents.ok && parents.pins.isEmpty() && pulls == m_pulls) {
            ShadowRow fresh;
            fresh.version = c.version;
            fresh.seq = tick(c.version.clock);
            fresh.visible = true;
            if (store.addShadow(c.key, fresh)) {
                int refusal = 0;
                ++m_stats.applied;
                m_changed = true;
                if (store.insertRow(*c.content, &refusal)) {
                    neighbours(c.table, c.key, *c.content, true);
                } else {
                    store.setVisible(c.key, false);
                    place(c.table, c.key, &*c.content);
                }
                return;
            }
        }
    }
    const std::optional<ShadowRow> s = store.shadow(c.key);
    if (!s) {
        ShadowRow fresh;
        fresh.version = c.version;
        fresh.seq = tick(c.version.clock);
        store.putShadow(c.key, fresh);
        if (c.version.deleted && c.kept && restrictParent)
            store.keep(c.key, *c.kept);
        ++m_stats.applied;
        m_changed = true;
        if (!c.version.deleted)
            place(c.table, c.key, &*c.content);
        else if (c.kept && restrictParent)
            place(c.table, c.key, nullptr);
        return;
    }
    if (s->version.sameDot(c.version) && s->version.deleted == c.version.deleted) {
        if (c.version.deleted && c.kept && restrictParent)
            keepBest(c.table, c.key, *c.kept, *s);
        return;
    }

    const bool incomingWins = above(c.version, s->version);
    const Version& winner = incomingWins ? c.version : s->version;
    const Version& loser = incomingWins ? s->version : c.version;
    std::optional<Row> local;
    if (!s->version.deleted)
        local = store.content(c.key, *s);
    // A live version that loses to one whose writer had not seen it is a conflict, unless nothing of it is
    // lost (the same content, or a deletion of the same deletion).
    if (!loser.deleted && !winner.saw(loser)) {
        const std::optional<Row>& lostRow = incomingWins ? local : c.content;
        const std::optional<Row>& keptRow = incomingWins ? c.content : local;
        if (winner.deleted || lostRow != keptRow) {
            const char* reason = winner.deleted                  ? reasons::DeletedAndChanged
                                 : winner.sameIncarnation(loser) ? reasons::Changed
                                 : winner.sawBirthOf(loser)      ? reasons::DeletedAndChanged
                                                                 : reasons::AddedTwice;
            log(c.table, c.key, QString::fromUtf8(reason), loser, lostRow, std::optional<Version>(winner),
                keptRow);
        }
    }
    if (!incomingWins) {
        // Whatever this member does not show still counts for the content a deleted row would come back with.
        if (restrictParent && s->version.deleted) {
            if (c.content)
                keepBest(c.table, c.key, Kept{keptVersion(c.version), *c.content}, *s);
            if (c.kept)
                keepBest(c.table, c.key, *c.kept, *s);
        }
        return;
    }

    if (c.version.deleted) {
        if (restrictParent) {
            if (local && !s->version.deleted)
                keepBest(c.table, c.key, Kept{keptVersion(s->version), *local}, *s);
            if (c.kept)
                keepBest(c.table, c.key, *c.kept, *s);
        } else if (!s->visible) {
            store.dropKept(c.key);
        }
    }
    ShadowRow next = *s;
    next.version = c.version;
    next.seq = tick(c.version.clock);
    store.putShadow(c.key, next);
    ++m_stats.applied;
    m_changed = true;
    place(c.table, c.key, c.version.deleted ? nullptr : &*c.content);
    if (!c.version.sameIncarnation(s->version))
        newIncarnation(c.table, c.key);
}

void Receiver::newIncarnation(int table, const Row& key) {
    m_standing.clear();
    // Rows that belong to a row belong to one incarnation of it: another one under the same key takes back
    // the rows written for it and sends away those written for the one before.
    for (const Relation& r : m_asParent[size_t(table)]) {
        if (!r.link->cascade)
            continue;
        TableStore& child = *m_stores[size_t(r.child)];
        for (const Row& ck :
             child.standingWhere(r.link->columns, key) + child.keptWhere(r.link->columns, key))
            recheck(r.child, ck);
    }
}

void Receiver::keepBest(int table, const Row& key, const Kept& candidate, const ShadowRow& shadow) {
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<Kept> existing = store.kept(key);
    if (existing && !above(candidate.version, existing->version))
        return;
    store.keep(key, candidate);
    m_changed = true;
    // A deleted row that stands because others refer to it shows the best content it had alive.
    if (shadow.visible && shadow.version.deleted) {
        int refusal = 0;
        store.updateRow(key, shadow, candidate.content, &refusal);
    }
}

void Receiver::place(int table, const Row& key, const Row* given) {
    // Rows being placed further up: a row that refers to one of them, directly or round a cycle, is placed on
    // the understanding that it will stand.
    const QByteArray self = tag(table, key);
    if (m_placing.contains(self) || m_placing.size() > MaxDepth)
        return;
    m_placing.insert(self);
    placeRow(table, key, given);
    m_placing.remove(self);
}

void Receiver::placeRow(int table, const Row& key, const Row* given) {
    TableStore& store = *m_stores[size_t(table)];
    std::optional<ShadowRow> s = store.shadow(key);
    if (!s)
        return;
    if (!store.info().keyed) {
        // Rows without a key have no relationships: the winning version is the row.
        if (s->visible)
            store.deleteRow(key, *s);
        s->visible = false;
        s->rid = 0;
        s->fp.clear();
        if (!s->version.deleted && given) {
            int refusal = 0;
            if (store.insertRow(*given, &refusal)) {
                s->visible = true;
                s->rid = store.lastRowid();
                s->fp = store.fingerprintOf(s->rid);
            }
        }
        store.putShadow(key, *s);
        m_changed = true;
        return;
    }

    if (!s->version.deleted) {
        const std::optional<Row> content = given ? std::optional<Row>(*given) : store.content(key, *s);
        if (!content)
            return;
        const qint64 pulls = m_pulls;
        ParentCheck parents = checkParents(table, key, *content, &s->version, 0);
        if (pulls != m_pulls) {
            s = store.shadow(key); // looking for parents brought in other versions
            if (!s || s->version.deleted)
                return;
        }
        if (!parents.ok) {
            suppress(table, key, *s, *content, parents.reason);
            return;
        }
        for (const auto& [p, pk] : parents.pins)
            pin(p, pk);
        const bool wasStanding = s->visible;
        if (wasStanding && !given) {
            // A member's own writes put rows in place without this check: rows set aside for want of this
            // one may come back now.
            if (!m_source)
                neighbours(table, key, *content, true);
            return;
        }
        // A standing row that now refers elsewhere may leave a deleted parent that stood for it alone.
        std::optional<Row> before;
        if (wasStanding && hasRestrictParent(table))
            before = store.content(key, *s);
        if (!write(table, key, *s, *content, given != nullptr))
            return;
        if (wasStanding) {
            if (before)
                leftParents(table, *before, *content);
            return;
        }
        store.dropKept(key);
        store.setVisible(key, true);
        m_changed = true;
        neighbours(table, key, *content, true);
        return;
    }

    // A deleted row stands only while rows that exist refer to it through a restrict relationship.
    std::optional<Kept> kept = store.info().restrictParent ? store.kept(key) : std::nullopt;
    QSet<QByteArray> visited;
    bool stands = kept && anchored(table, key, visited);
    s = store.shadow(key);
    if (!s || !s->version.deleted)
        return;
    ParentCheck parents;
    if (stands) {
        parents = checkParents(table, key, kept->content, nullptr, 0);
        stands = parents.ok;
    }
    if (stands) {
        for (const auto& [p, pk] : parents.pins)
            pin(p, pk);
        if (!s->visible)
            pin(table, key);
        return;
    }
    if (s->visible) {
        m_standing.clear();
        const std::optional<Row> content = store.content(key, *s);
        store.deleteRow(key, *s);
        store.setVisible(key, false);
        m_changed = true;
        if (content)
            neighbours(table, key, *content, false);
    } else if (!m_source) {
        // A member's own deletion made without its relationships: rows that belonged to the row go too.
        neighbours(table, key, {}, false);
    }
    if (!store.info().restrictParent)
        store.dropKept(key);
}

Receiver::ParentCheck Receiver::checkParents(int table, const Row& key, const Row& content,
                                             const Version* version, int depth) {
    ParentCheck check;
    TableStore& store = *m_stores[size_t(table)];
    for (const Relation& r : m_asChild[size_t(table)]) {
        const Link& link = *r.link;
        const int p = r.parent;
        const Row values = store.project(content, link.columns);
        if (hasNull(values) || (p == table && values == key) ||
            (!m_placing.isEmpty() && m_placing.contains(tag(p, values))))
            continue; // no reference, a row that refers to itself, or one being placed
        TableStore& parent = *m_stores[size_t(p)];
        // A row that belongs to another belongs to the incarnation it was written for, not to a row added
        // later under the same key.
        const auto belongs = [&](const ShadowRow& ps) {
            return !link.cascade || !version || !version->parentBornClock ||
                   (ps.version.bornClock == version->parentBornClock &&
                    ps.version.bornWriter == version->parentBornWriter);
        };
        // Many rows refer to the same few (their team leader, their task): a parent seen standing is
        // remembered until any row stops standing.
        const QByteArray parentTag = tag(p, values);
        if (const auto known = m_standing.constFind(parentTag); known != m_standing.cend()) {
            ShadowRow standing;
            standing.version.bornClock = known->first;
            standing.version.bornWriter = known->second;
            if (belongs(standing))
                continue;
        }
        std::optional<ShadowRow> ps = parent.shadow(values);
        if (ps && ps->visible)
            m_standing.insert(parentTag, {ps->version.bornClock, ps->version.bornWriter});
        if (ps && ps->visible && belongs(*ps))
            continue;
        pull(p, values);
        ps = parent.shadow(values);
        if (ps && !ps->visible && !ps->version.deleted) {
            place(p, values, nullptr); // a parent that exists but is not placed yet
            ps = parent.shadow(values);
        }
        if (ps && ps->visible && belongs(*ps))
            continue;
        if (ps && ps->visible) {
            check.ok = false;
            Version mine;
            mine.bornClock = version->parentBornClock;
            mine.bornWriter = version->parentBornWriter;
            check.reason =
                ps->version.sawBirthOf(mine)
                    ? text("belongs to a record that was deleted in another replica and added again",
                           "belongs to a record that was deleted and added again")
                    : text("belongs to a record that lost to another added with the same key in "
                           "another replica",
                           "belongs to a record that was added again with the same key");
            return check;
        }
        if (!link.cascade && ps && ps->version.deleted && depth < MaxDepth) {
            if (const std::optional<Kept> kept = parent.kept(values)) {
                // The parent's deletion does not take effect while this row refers to it; the parent must be
                // able to stand in turn.
                ParentCheck above = checkParents(p, values, kept->content, nullptr, depth + 1);
                if (above.ok) {
                    check.pins << std::make_pair(p, values);
                    check.pins << above.pins;
                    continue;
                }
            }
        }
        check.ok = false;
        if (ps && ps->version.deleted && link.cascade)
            check.reason = text("belongs to a record that was deleted in another replica",
                                "belongs to a record that was deleted");
        else if (ps && ps->version.deleted)
            check.reason = text("refers to a record that was deleted in another replica",
                                "refers to a record that was deleted");
        else if (ps)
            check.reason = text("belongs to a record that another replica set aside",
                                "belongs to a record that was set aside");
        else
            check.reason = text("refers to a record that exists in no replica",
                                "refers to a record that does not exist");
        return check;
    }
    return check;
}

bool Receiver::anchored(int table, const Row& key, QSet<QByteArray>& visited) {
    visited.insert(tag(table, key));
    for (const Relation& r : m_asParent[size_t(table)]) {
        if (r.link->cascade)
            continue;
        const Link& link = *r.link;
        const int c = r.child;
        TableStore& child = *m_stores[size_t(c)];
        // The partner may have moved its referring rows away since: its current versions decide.
        if (m_source)
            for (const Row& ck : child.standingWhere(link.columns, key))
                pull(c, ck);
        for (const Row& ck : child.standingWhere(link.columns, key)) {
            const std::optional<ShadowRow> cs = child.shadow(ck);
            if (!cs || !cs->visible)
                continue;
            if (!cs->version.deleted)
                return true;
            if (!visited.contains(tag(c, ck)) && visited.size() < MaxDepth && anchored(c, ck, visited))
                return true;
        }
    }
    return false;
}

bool Receiver::write(int table, const Row& key, const ShadowRow& s, const Row& content, bool fresh) {
    TableStore& store = *m_stores[size_t(table)];
    const auto attempt = [&](int* refusal) {
        if (s.visible)
            return store.updateRow(key, s, content, refusal);
        return fresh ? store.insertRow(content, refusal) : store.restoreKept(key, refusal);
    };
    int refusal = 0;
    if (attempt(&refusal)) {
        m_changed = true;
        return true;
    }
    // A value that must be unique is held by another row: of the two, the row whose version is above keeps it
    // on every member, and the other is set aside.
    if (refusal == err::DuplicateKey) {
        const QList<Row> rivals = store.rivals(content, key);
        bool above_all = !rivals.isEmpty();
        for (const Row& rk : rivals) {
            const std::optional<ShadowRow> rs = store.shadow(rk);
            above_all &= rs && above(s.version, rs->version);
        }
        if (above_all) {
            for (const Row& rk : rivals)
                if (const std::optional<ShadowRow> rs = store.shadow(rk))
                    if (const std::optional<Row> rc = store.content(rk, *rs))
                        suppress(table, rk, *rs, *rc,
                                 text("a unique value of the record was taken by a record of another replica",
                                      "a unique value of the record was taken by another record"));
            if (attempt(&refusal)) {
                m_changed = true;
                return true;
            }
        }
    }
    suppress(table, key, s, content,
             refusal == err::NullNotAllowed
                 ? QStringLiteral("a required value of the record is missing")
                 : text("a unique value of the record is held by a record of another replica",
                        "a unique value of the record is held by another record"));
    return false;
}

bool Receiver::pin(int table, const Row& key) {
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<ShadowRow> s = store.shadow(key);
    if (!s || !s->version.deleted || s->visible)
        return s && s->visible;
    const std::optional<Kept> kept = store.kept(key);
    int refusal = 0;
    if (!kept || !store.restoreKept(key, &refusal))
        return false;
    store.setVisible(key, true);
    m_changed = true;
    log(table, key,
        text("deleted in one replica while records in another still refer to it; the record was kept",
             "deleted while other records still referred to it; the record was kept"),
        s->version, std::nullopt, kept->version, kept->content);
    neighbours(table, key, kept->content, true);
    return true;
}

void Receiver::suppress(int table, const Row& key, ShadowRow s, const Row& content, const QString& reason) {
    TableStore& store = *m_stores[size_t(table)];
    const Kept kept{keptVersion(s.version), content};
    const std::optional<Kept> before = s.visible ? std::nullopt : store.kept(key);
    if (!before || before->content != content || before->version.clock != kept.version.clock ||
        before->version.writer != kept.version.writer) {
        store.keep(key, kept);
        m_changed = true;
    }
    if (s.visible) {
        m_standing.clear();
        store.deleteRow(key, s);
        store.setVisible(key, false);
        m_changed = true;
        neighbours(table, key, content, false);
    }
    log(table, key, reason, s.version, content, std::nullopt, std::nullopt);
}

bool Receiver::hasRestrictParent(int table) const {
    for (const Relation& r : m_asChild[size_t(table)])
        if (!r.link->cascade)
            return true;
    return false;
}

void Receiver::leftParents(int table, const Row& before, const Row& after) {
    TableStore& store = *m_stores[size_t(table)];
    for (const Relation& r : m_asChild[size_t(table)]) {
        if (r.link->cascade)
            continue;
        const Row old = store.project(before, r.link->columns);
        if (!hasNull(old) && old != store.project(after, r.link->columns))
            recheck(r.parent, old);
    }
}

void Receiver::neighbours(int table, const Row& key, const Row& content, bool nowStanding) {
    TableStore& store = *m_stores[size_t(table)];
    // Rows that refer to this one: set aside ones may come back, standing ones may have to go.
    for (const Relation& r : m_asParent[size_t(table)]) {
        TableStore& child = *m_stores[size_t(r.child)];
        const QList<Row> keys =
            nowStanding ? child.keptWhere(r.link->columns, key) : child.standingWhere(r.link->columns, key);
        for (const Row& ck : keys)
            recheck(r.child, ck);
    }
    // A deleted parent that stood for this row may have to go now.
    if (!nowStanding)
        for (const Relation& r : m_asChild[size_t(table)]) {
            const Row values = store.project(content, r.link->columns);
            if (!r.link->cascade && !hasNull(values))
                recheck(r.parent, values);
        }
}

void Receiver::setAside(int table, const Row& key) {
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<ShadowRow> s = store.shadow(key);
    if (!s || !s->visible)
        return;
    if (const std::optional<Row> content = store.content(key, *s))
        suppress(table, key, *s, *content, QStringLiteral("refers to a record that is missing here"));
}

void Receiver::recheck(int table, const Row& key) {
    const QByteArray t = tag(table, key);
    if (m_queued.contains(t))
        return;
    m_queued.insert(t);
    m_queue.emplace_back(table, key);
}

void Receiver::pull(int table, const Row& key) {
    if (!m_source || m_depth >= MaxDepth)
        return;
    const QByteArray t = tag(table, key);
    if (m_pulled.contains(t))
        return;
    m_pulled.insert(t);
    const std::optional<Change> current = m_source->current(table, key);
    if (!current)
        return;
    const std::optional<ShadowRow> s = m_stores[size_t(table)]->shadow(key);
    if (s && s->version.sameDot(current->version) && s->version.deleted == current->version.deleted)
        return;
    ++m_depth;
    ++m_pulls;
    apply(*current);
    --m_depth;
    --m_stats.received; // fetched ahead of the stream, counted when the stream brings it
}

bool Receiver::finish() {
    // Each check may queue others; a row is checked once per queuing.
    for (qint64 steps = 0; !m_queue.empty(); ++steps) {
        if (steps > 10'000'000)
            throw Error::make(err::RelatedRecords, QStringLiteral("(the relationships do not settle)"));
        const auto [table, key] = m_queue.front();
        m_queue.pop_front();
        m_queued.remove(tag(table, key));
        place(table, key, nullptr);
    }
    writeClock(m_db, m_clock);
    return m_changed;
}

void Receiver::log(int table, const Row& key, const QString& reason, const Version& lost,
                   const std::optional<Row>& lostRow, const std::optional<Version>& kept,
                   const std::optional<Row>& keptRow) {
    TableStore& store = *m_stores[size_t(table)];
    if (m_name.isNull())
        m_name = readIdentity(m_db).value_or(Identity{}).description;
    Conflict c;
    c.seq = c.loggedClock = tick();
    c.table = store.info().name;
    c.key = encodeKey(key);
    c.keyText = keyText(key);
    c.reason = reason;
    c.lostWriter = lost.writer;
    c.lostClock = lost.clock;
    c.lostDeleted = lost.deleted;
    if (lostRow)
        c.lostRow = encodeRecord(store.carried(), *lostRow);
    if (kept) {
        c.keptWriter = kept->writer;
        c.keptClock = kept->clock;
        c.keptDeleted = kept->deleted;
    }
    if (keptRow)
        c.keptRow = encodeRecord(store.carried(), *keptRow);
    c.loggedAt = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    c.loggedBy = m_me;
    c.loggedByName = m_name;
    if (insertConflict(m_db, c)) {
        // The log travels: what others know of this member must count it.
        m_clock.own = qMax(m_clock.own, c.loggedClock);
        ++m_stats.conflicts;
        m_changed = true;
    }
}

} // namespace pell::db::replication

#include "db/replication/receiver.h"

#include "core/error.h"

#include <QDateTime>

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

// Rows chained through relationships are followed this deep at most (a chain of team leaders).
constexpr int MaxDepth = 64;

// Looked up for every row an exchange touches and for each row it refers to: one allocation.
QByteArray tag(int table, const Row& key) {
    QByteArray out;
    out.reserve(16 + (key.size() == 1 ? key.front().bytes.size() : 64));
    out.append(char(table & 0xff)).append(char((table >> 8) & 0xff));
    appendKey(out, key);
    return out;
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
        const int index = int(m_parentSeen.size());
        m_asChild[size_t(child)].push_back({&link, child, parent, index});
        m_asParent[size_t(parent)].push_back({&link, child, parent, index});
        m_parentSeen.emplace_back();
        m_parentQueued.emplace_back();
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
    // The time is read anew now and then: between two readings the counter moves the clock on.
    if ((m_ticks++ & 1023) == 0)
        m_wall = wallClock();
    m_clock.now = qMax(qMax(m_clock.now + 1, m_wall), past + 1);
    return m_clock.now;
}

void Receiver::apply(const Change& c) {
    if (c.conflict) {
        if (mergeConflict(m_db, *c.conflict, tick())) {
            m_changed = true;
            m_lost.push_back(*c.conflict);
        }
        return;
    }
    TableStore& store = *m_stores[size_t(c.table)];
    const bool restrictParent = store.info().restrictParent;
    ++m_stats.received;
    // The common case, a row new here whose parents stand: its shadow is written first, which tells whether
    // it is new, and then the row.
    if (!c.version.deleted && store.info().keyed && c.content) {
        QSet<QByteArray> trail;
        const qint64 pulls = m_pulls;
        if (available(c.table, c.key, &*c.content, trail, &c.version).ok && pulls == m_pulls) {
            ShadowRow fresh;
            fresh.version = c.version;
            fresh.seq = tick(c.version.clock);
            fresh.visible = true;
            if (store.addShadow(c.key, fresh)) {
                int refusal = 0;
                ++m_stats.applied;
                m_changed = true;
                if (store.insertRow(*c.content, &refusal)) {
                    touchNeighbours(c.table, c.key, c.content, true);
                    return;
                }
                // Refused by the table's own rules: decided with the others.
                forgetAvailable();
                store.setVisible(c.key, false);
                store.keep(c.key, Kept{keptVersion(c.version), *c.content});
                recheck(c.table, c.key, true);
                return;
            }
        }
    }
    std::optional<ShadowRow> s = store.shadow(c.key);
    if (!s && !store.info().keyed) {
        applyKeyless(c, ShadowRow{});
        return;
    }
    if (!s) {
        ShadowRow fresh;
        fresh.version = c.version;
        fresh.seq = tick(c.version.clock);
        ++m_stats.applied;
        m_changed = true;
        if (!c.version.deleted) {
            // The content waits in the kept rows for the decision of finish().
            forgetAvailable();
            store.putShadow(c.key, fresh);
            store.keep(c.key, Kept{keptVersion(c.version), *c.content});
        } else if (c.kept && restrictParent) {
            store.putShadow(c.key, fresh);
            store.keep(c.key, *c.kept);
        } else {
            store.putShadow(c.key, fresh);
        }
        recheck(c.table, c.key, true);
        return;
    }
    forgetAvailable(); // what could stand may change with any version but a new row's
    if (s->version.sameDot(c.version) && s->version.deleted == c.version.deleted) {
        if (c.version.deleted && c.kept && restrictParent)
            keepContent(c.table, c.key, *c.kept);
        return;
    }

    const bool incomingWins = above(c.version, s->version);
    const Version& winner = incomingWins ? c.version : s->version;
    const Version& loser = incomingWins ? s->version : c.version;
    std::optional<Row> local;
    if (!s->version.deleted)
        local = store.content(c.key, *s);
    // What the row referred to until now, kept content included: the rows it kept standing may be free now.
    const std::optional<Row> previous = s->version.deleted ? contentOf(c.table, c.key, *s) : local;
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
    if (!incomingWins)
        return; // a version that lost changes nothing, not even the content a deleted row is kept with

    if (c.version.deleted) {
        // A deleted row is kept with the content it had where it was deleted: the deletion carries it. So
        // every member keeps the same content, whatever else it saw of the row.
        if (restrictParent) {
            if (c.kept)
                keepContent(c.table, c.key, *c.kept);
            if (local && !s->version.deleted)
                keepContent(c.table, c.key, Kept{keptVersion(s->version), *local});
        } else if (!s->visible) {
            store.dropKept(c.key);
        }
    }
    if (!store.info().keyed) {
        applyKeyless(c, *s);
        return;
    }
    ShadowRow next = *s;
    next.version = c.version;
    next.seq = tick(c.version.clock);
    if (!c.version.deleted) {
        // The winning content is written where the row is now; finish() decides where it belongs.
        int refusal = 0;
        if (!(s->visible && store.updateRow(c.key, *s, *c.content, &refusal))) {
            if (s->visible) {
                store.deleteRow(c.key, *s);
                next.visible = false;
            }
            store.keep(c.key, Kept{keptVersion(c.version), *c.content});
        }
    }
    store.putShadow(c.key, next);
    ++m_stats.applied;
    m_changed = true;
    if (previous)
        touchNeighbours(c.table, c.key, previous);
    recheck(c.table, c.key, true);
    if (!c.version.sameIncarnation(s->version))
        newIncarnation(c.table, c.key);
}

void Receiver::applyKeyless(const Change& c, const ShadowRow& s) {
    // Rows without a key have no relationships: the winning version is the row.
    TableStore& store = *m_stores[size_t(c.table)];
    ShadowRow next = s;
    if (s.visible)
        store.deleteRow(c.key, s);
    next.version = c.version;
    next.seq = tick(c.version.clock);
    next.visible = false;
    next.rid = 0;
    next.fp.clear();
    if (!c.version.deleted && c.content) {
        int refusal = 0;
        if (store.insertRow(*c.content, &refusal)) {
            next.visible = true;
            next.rid = store.lastRowid();
            next.fp = store.fingerprintOf(next.rid);
        }
    }
    store.putShadow(c.key, next);
    ++m_stats.applied;
    m_changed = true;
}

void Receiver::newIncarnation(int table, const Row& key) {
    // Rows that belong to a row belong to one incarnation of it: another one under the same key takes back
    // the rows written for it and sends away those written for the one before.
    touchNeighbours(table, key, std::nullopt);
}

void Receiver::keepContent(int table, const Row& key, const Kept& kept) {
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<Kept> existing = store.kept(key);
    // The latest content of all that reach the member, whichever reaches it first.
    if (existing && !above(kept.version, existing->version))
        return;
    store.keep(key, kept);
    m_changed = true;
    forgetAvailable();
    recheck(table, key); // a deleted row that stands shows the content it is kept with
}

// What stands is computed here and nowhere else: from the winning versions a member holds (and the content
// each deleted row had where it was deleted), never from where rows happen to stand. docs/replication.md,
// "What stands", states the rules.

std::optional<Row> Receiver::contentOf(int table, const Row& key, const ShadowRow& s) {
    TableStore& store = *m_stores[size_t(table)];
    if (s.version.deleted) {
        if (!store.info().restrictParent)
            return std::nullopt;
        if (std::optional<Kept> k = store.kept(key))
            return std::move(k->content);
        return std::nullopt;
    }
    return store.content(key, s);
}

Receiver::Verdict Receiver::available(int table, const Row& key, const Row* given, QSet<QByteArray>& trail,
                                      const Version* version) {
    Verdict v;
    TableStore& store = *m_stores[size_t(table)];
    if (!store.info().keyed)
        return v;
    // A row new here with its content given (most of an exchange) is not looked up by name at all unless
    // the rows it refers to are followed further.
    const bool named = !given || !trail.isEmpty();
    const QByteArray self = named ? tag(table, key) : QByteArray();
    if (named && (trail.contains(self) || trail.size() > MaxDepth)) {
        m_assumed = true;
        return v; // round a cycle: rows that refer to each other stand together
    }
    // Many rows refer to the same few (their team leader, their task): a row found able to stand stays so
    // until a version other than a new row's comes in or a row moves.
    if (!given && !version && m_available.contains(self))
        return v;
    const bool assumedBefore = m_assumed;
    m_assumed = false;
    v = availableNow(table, key, given, trail, version);
    if (v.ok && !m_assumed && !given)
        m_available.insert(self);
    m_assumed |= assumedBefore;
    return v;
}

Receiver::Verdict Receiver::availableNow(int table, const Row& key, const Row* given, QSet<QByteArray>& trail,
                                         const Version* version) {
    Verdict v;
    TableStore& store = *m_stores[size_t(table)];
    QByteArray self; // on the trail only while rows further up are followed
    std::optional<ShadowRow> s;
    if (version) { // a row new here, not recorded yet
        s.emplace();
        s->version = *version;
    } else {
        s = store.shadow(key);
    }
    if (!s) {
        v.ok = false;
        v.reason =
            text("refers to a record that exists in no replica", "refers to a record that does not exist");
        return v;
    }
    std::optional<Row> content = given ? std::optional<Row>(*given) : contentOf(table, key, *s);
    if (!content) {
        v.ok = false;
        v.reason = text("refers to a record that was deleted in another replica",
                        "refers to a record that was deleted");
        return v;
    }
    for (const Relation& r : m_asChild[size_t(table)]) {
        const Link& link = *r.link;
        const Row values = store.project(*content, link.columns);
        if (hasNull(values) || (r.parent == table && values == key))
            continue;
        if (!link.cascade) {
            // Rows arrive in runs that refer to one parent (a team's members, a task's attachments).
            Row& seen = m_parentSeen[size_t(r.index)];
            if (seen == values)
                continue;
            if (m_available.contains(tag(r.parent, values))) {
                seen = values;
                continue;
            }
        }
        TableStore& parent = *m_stores[size_t(r.parent)];
        std::optional<ShadowRow> ps = parent.shadow(values);
        if (!ps || ps->version.deleted) {
            pull(r.parent, values); // the sender may have it again, or have moved this row away
            ps = parent.shadow(values);
        }
        if (!ps) {
            v.ok = false;
            v.reason = text("refers to a record that exists in no replica",
                            "refers to a record that does not exist");
            break;
        }
        if (link.cascade) {
            if (ps->version.deleted) {
                v.ok = false;
                v.reason = text("belongs to a record that was deleted in another replica",
                                "belongs to a record that was deleted");
                break;
            }
            if (!s->version.deleted && s->version.parentBornClock &&
                (ps->version.bornClock != s->version.parentBornClock ||
                 ps->version.bornWriter != s->version.parentBornWriter)) {
                Version mine;
                mine.bornClock = s->version.parentBornClock;
                mine.bornWriter = s->version.parentBornWriter;
                v.ok = false;
                v.reason =
                    ps->version.sawBirthOf(mine)
                        ? text("belongs to a record that was deleted in another replica and added again",
                               "belongs to a record that was deleted and added again")
                        : text("belongs to a record that lost to another added with the same key in "
                               "another replica",
                               "belongs to a record that was added again with the same key");
                break;
            }
        } else if (ps->version.deleted && !parent.info().restrictParent) {
            v.ok = false;
            v.reason = text("refers to a record that was deleted in another replica",
                            "refers to a record that was deleted");
            break;
        }
        if (self.isEmpty()) {
            self = tag(table, key);
            trail.insert(self);
        }
        const Verdict above = available(r.parent, values, nullptr, trail);
        if (!above.ok) {
            v.ok = false;
            v.reason = link.cascade ? text("belongs to a record that another replica set aside",
                                           "belongs to a record that was set aside")
                                    : above.reason;
            break;
        }
    }
    if (!self.isEmpty())
        trail.remove(self);
    return v;
}

bool Receiver::anchored(int table, const Row& key, QSet<QByteArray>& visited) {
    visited.insert(tag(table, key));
    for (const Relation& r : m_asParent[size_t(table)]) {
        if (r.link->cascade)
            continue;
        TableStore& child = *m_stores[size_t(r.child)];
        // The partner may have moved its referring rows away since: its current versions decide.
        if (m_source)
            for (const Row& ck : child.standingWhere(r.link->columns, key))
                pull(r.child, ck);
        for (const Row& ck :
             child.standingWhere(r.link->columns, key) + child.keptWhere(r.link->columns, key)) {
            if (r.child == table && ck == key)
                continue;
            const QByteArray t = tag(r.child, ck);
            if (visited.contains(t) || visited.size() > MaxDepth)
                continue;
            const std::optional<ShadowRow> cs = child.shadow(ck);
            if (!cs)
                continue;
            // The content found may be a stale copy: the row's own content must refer here.
            const std::optional<Row> content = contentOf(r.child, ck, *cs);
            if (!content || !sameRow(table, child.project(*content, r.link->columns), key))
                continue;
            QSet<QByteArray> trail{tag(table, key)};
            if (!available(r.child, ck, &*content, trail).ok)
                continue;
            if (!cs->version.deleted)
                return true;
            if (anchored(r.child, ck, visited))
                return true;
        }
    }
    return false;
}

bool Receiver::sameRow(int table, const Row& a, const Row& b) {
    if (a == b)
        return true;
    if (a.size() != b.size() || hasNull(a))
        return false;
    // Keys compare in their columns' collation (a user is the same in any case): the table says.
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<ShadowRow> x = store.shadow(a);
    const std::optional<ShadowRow> y = x ? store.shadow(b) : std::nullopt;
    return x && y && x->seq == y->seq;
}

Receiver::Desired Receiver::desired(int table, const Row& key) {
    Desired d;
    TableStore& store = *m_stores[size_t(table)];
    d.shadow = store.shadow(key);
    if (!d.shadow)
        return d;
    if (!store.info().keyed) {
        d.kind = d.shadow->version.deleted ? Desired::Absent : Desired::Stand;
        return d;
    }
    d.content = contentOf(table, key, *d.shadow);
    if (!d.shadow->version.deleted) {
        if (!d.content) {
            d.kind = Desired::Aside;
            d.reason = QStringLiteral("(no content)");
            return d;
        }
        QSet<QByteArray> trail;
        const Verdict v = available(table, key, &*d.content, trail);
        d.kind = v.ok ? Desired::Stand : Desired::Aside;
        d.reason = v.reason;
        // A value that must be unique belongs to the row whose version is above, of those that can stand.
        if (v.ok && store.hasUniqueValues())
            for (const Row& rk : store.rivalsAnywhere(*d.content, key)) {
                const std::optional<ShadowRow> rs = store.shadow(rk);
                if (!rs || rs->version.deleted || !above(rs->version, d.shadow->version))
                    continue;
                const std::optional<Row> rc = contentOf(table, rk, *rs);
                QSet<QByteArray> rivalTrail;
                if (!rc || !store.rivalsAnywhere(*rc, rk).contains(key) ||
                    !available(table, rk, &*rc, rivalTrail).ok)
                    continue;
                d.kind = Desired::Aside;
                d.reason = text("a unique value of the record is held by a record of another replica",
                                "a unique value of the record is held by another record");
                break;
            }
        return d;
    }
    if (!d.content)
        return d;
    QSet<QByteArray> trail;
    if (!available(table, key, &*d.content, trail).ok)
        return d;
    QSet<QByteArray> visited;
    if (anchored(table, key, visited))
        d.kind = Desired::Stand;
    return d;
}

void Receiver::touchNeighbours(int table, const Row& key, const std::optional<Row>& content, bool fresh) {
    TableStore& store = *m_stores[size_t(table)];
    // Rows that refer to this one: whether they can stand may change with it. Nothing stands referring to
    // a row new here (its own writers' rows were put right before).
    for (const Relation& r : m_asParent[size_t(table)]) {
        TableStore& child = *m_stores[size_t(r.child)];
        const QList<Row> keys =
            fresh ? child.keptWhere(r.link->columns, key)
                  : child.standingWhere(r.link->columns, key) + child.keptWhere(r.link->columns, key);
        for (const Row& ck : keys)
            recheck(r.child, ck);
    }
    // Rows set aside (or standing) with one of its unique values: which of them holds it may change with it.
    if (content && store.hasUniqueValues())
        for (const Row& rk : store.rivalsAnywhere(*content, key))
            recheck(table, rk);
    // Deleted rows this one refers to: whether they are still needed may change with it.
    if (content)
        for (const Relation& r : m_asChild[size_t(table)]) {
            const Row values = store.project(*content, r.link->columns);
            if (r.link->cascade || hasNull(values))
                continue;
            // Until finish() takes rows off the queue, a parent queued once stays queued.
            Row* queued = m_finishing ? nullptr : &m_parentQueued[size_t(r.index)];
            if (queued && *queued == values)
                continue;
            recheck(r.parent, values);
            if (queued)
                *queued = values;
        }
}

void Receiver::place(int table, const Row& key) {
    TableStore& store = *m_stores[size_t(table)];
    Desired d;
    for (int attempt = 0;; ++attempt) {
        const qint64 pulls = m_pulls;
        d = desired(table, key);
        if (pulls == m_pulls || attempt > 4)
            break; // looking for parents brought in other versions: decide again with them
    }
    if (!d.shadow)
        return;
    const QByteArray self = tag(table, key);
    const bool touched = m_touched.contains(self);
    ShadowRow s = *d.shadow;
    if (!store.info().keyed) {
        // Rows without a key have no relationships: the winning version is the row. Its content was written
        // when the version came in.
        if (d.kind == Desired::Absent && s.visible) {
            store.deleteRow(key, s);
            s.visible = false;
            s.rid = 0;
            s.fp.clear();
            store.putShadow(key, s);
            m_changed = true;
        }
        return;
    }
    const std::optional<Row> before = s.visible ? store.standing(key) : std::nullopt;
    bool moved = false;
    switch (d.kind) {
    case Desired::Stand: {
        if (!s.visible) {
            if (!write(table, key, s, *d.content, false))
                return; // refused by the table's own rules: set aside (logged there)
            store.setVisible(key, true);
            moved = true;
        } else if (before != d.content) {
            int refusal = 0;
            store.updateRow(key, s, *d.content, &refusal);
            m_changed = true;
            forgetAvailable();
        }
        if (!s.version.deleted && (moved || touched))
            store.dropKept(key); // the row's own content stands: nothing of it is kept aside
        if (s.version.deleted && (moved || touched)) {
            const std::optional<Kept> kept = store.kept(key);
            log(table, key,
                text("deleted in one replica while records in another still refer to it; the record was kept",
                     "deleted while other records still referred to it; the record was kept"),
                s.version, std::nullopt, kept ? std::optional<Version>(kept->version) : std::nullopt,
                d.content);
        }
        break;
    }
    case Desired::Aside:
        if (s.visible) {
            store.keepStanding(key, keptVersion(s.version));
            store.deleteRow(key, s);
            store.setVisible(key, false);
            moved = true;
        }
        if ((moved || touched) && d.content)
            log(table, key, d.reason, s.version, d.content, std::nullopt, std::nullopt);
        break;
    case Desired::Absent:
        if (s.visible) {
            store.deleteRow(key, s);
            store.setVisible(key, false);
            moved = true;
        }
        if (!store.info().restrictParent)
            store.dropKept(key);
        break;
    }
    if (moved) {
        m_changed = true;
        forgetAvailable();
    }
    if (moved || touched || before != (d.kind == Desired::Stand ? d.content : before)) {
        m_touched.remove(self);
        touchNeighbours(table, key, d.content);
        if (before && before != d.content)
            touchNeighbours(table, key, before);
    }
}

bool Receiver::write(int table, const Row& key, const ShadowRow& s, const Row& content, bool fresh) {
    TableStore& store = *m_stores[size_t(table)];
    const auto attempt = [&](int* refusal) {
        if (s.visible)
            return store.updateRow(key, s, content, refusal);
        if (fresh)
            return store.insertRow(content, refusal);
        // The content is in the kept rows: a live version's own, or the best a deleted row had alive.
        return store.restoreKept(key, refusal);
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

void Receiver::suppress(int table, const Row& key, ShadowRow s, const Row& content, const QString& reason) {
    TableStore& store = *m_stores[size_t(table)];
    forgetAvailable();
    if (!s.version.deleted) {
        const Kept kept{keptVersion(s.version), content};
        const std::optional<Kept> before = store.kept(key);
        if (!before || before->content != content || before->version.clock != kept.version.clock ||
            before->version.writer != kept.version.writer) {
            store.keep(key, kept);
            m_changed = true;
        }
    }
    if (s.visible) {
        store.deleteRow(key, s);
        store.setVisible(key, false);
        m_changed = true;
        touchNeighbours(table, key, content);
    }
    if (!s.version.deleted)
        log(table, key, reason, s.version, content, std::nullopt, std::nullopt);
}

void Receiver::setAside(int table, const Row& key) {
    TableStore& store = *m_stores[size_t(table)];
    const std::optional<ShadowRow> s = store.shadow(key);
    if (!s || !s->visible)
        return;
    if (const std::optional<Row> content = store.content(key, *s))
        suppress(table, key, *s, *content, QStringLiteral("refers to a record that is missing here"));
}

void Receiver::recheck(int table, const Row& key, bool touched) {
    const QByteArray t = tag(table, key);
    if (touched)
        m_touched.insert(t);
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

void Receiver::keepLost(const Conflict& c) {
    if (c.lostDeleted || c.lostRow.isEmpty())
        return;
    const int table = indexOf(c.table);
    if (table < 0)
        return;
    TableStore& store = *m_stores[size_t(table)];
    if (!store.info().restrictParent || !store.info().keyed)
        return;
    const Row key = decodeKey(c.key);
    const std::optional<ShadowRow> s = store.shadow(key);
    if (!s || !s->version.deleted || c.lostClock < s->version.bornClock)
        return; // the row is not deleted, or the version lost belongs to an incarnation before
    const std::optional<Kept> existing = store.kept(key);
    if (existing && std::make_pair(existing->version.clock, existing->version.writer) >=
                        std::make_pair(c.lostClock, c.lostWriter))
        return;
    QStringList columns;
    Row record;
    if (!decodeRecord(c.lostRow, &columns, &record))
        return;
    Row content;
    for (const QString& column : store.carried()) {
        qsizetype at = 0;
        while (at < columns.size() && columns[at].compare(column, Qt::CaseInsensitive) != 0)
            ++at;
        if (at == columns.size() || size_t(at) >= record.size())
            return;
        content.push_back(record[size_t(at)]);
    }
    Version v = keptVersion(s->version);
    v.clock = c.lostClock;
    v.writer = c.lostWriter;
    keepContent(table, key, Kept{v, content});
}

bool Receiver::finish() {
    m_finishing = true;
    qint64 steps = 0;
    while (!m_lost.empty() || !m_queue.empty()) {
        // A change that lost to a deletion still counts for the content the deleted row is kept with: the
        // latest one stands while others refer to the row. Such losses reach every member through the
        // conflict log, and the deletion brings the content its writer saw, so every member keeps the same
        // content. Deciding rows may fetch versions ahead of the stream, and log more such losses: they count
        // as well.
        std::vector<Conflict> lost;
        lost.swap(m_lost);
        for (const Conflict& c : lost)
            keepLost(c);
        // Each check may queue others; a row is checked again only when something it depends on changed.
        for (; !m_queue.empty(); ++steps) {
            if (steps > 10'000'000)
                throw Error::make(err::RelatedRecords, QStringLiteral("(the relationships do not settle)"));
            const auto [table, key] = m_queue.front();
            m_queue.pop_front();
            m_queued.remove(tag(table, key));
            place(table, key);
        }
    }
    writeClock(m_db, m_clock);
    return m_changed;
}

void Receiver::forgetAvailable() {
    m_available.clear();
    for (Row& seen : m_parentSeen)
        seen.clear();
}

QString Receiver::divergence(int table, const Row& key) {
    TableStore& store = *m_stores[size_t(table)];
    if (!store.info().keyed)
        return {};
    const Desired d = desired(table, key);
    if (!d.shadow)
        return {};
    const std::optional<Row> inTable = store.standing(key);
    const QString name = store.info().name + u' ' + keyText(key);
    switch (d.kind) {
    case Desired::Stand:
        if (!inTable)
            return name + QStringLiteral(": should stand, is missing");
        if (!d.shadow->visible)
            return name + QStringLiteral(": stands but is recorded as not standing");
        if (*inTable != *d.content)
            return name + QStringLiteral(": stands with content other than its version's");
        return {};
    case Desired::Aside:
        if (inTable)
            return name + QStringLiteral(": stands but should be set aside (%1)").arg(d.reason);
        if (!d.content)
            return name + QStringLiteral(": its version's content is lost");
        return {};
    case Desired::Absent:
        if (inTable)
            return name + (d.shadow->version.deleted ? QStringLiteral(": deleted but stands")
                                                     : QStringLiteral(": should not stand"));
        return {};
    }
    return {};
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
        m_lost.push_back(c);
        // The log travels: what others know of this member must count it.
        m_clock.own = qMax(m_clock.own, c.loggedClock);
        ++m_stats.conflicts;
        m_changed = true;
    }
}

} // namespace pell::db::replication

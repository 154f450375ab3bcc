#pragma once

#include "db/replication/conflicts.h"
#include "db/replication/replication.h"
#include "db/replication/store.h"

#include <QHash>
#include <QSet>

#include <deque>
#include <optional>
#include <vector>

// Brings versions into a member and keeps the member's rows what the versions it holds say they are: the
// winning version of every row, with the relationships between rows sound. See docs/replication.md.
namespace pell::db::replication {

// One version as it travels: the row's key, the version, and the content that goes with it (a live
// version's row; for a deletion, the latest content the row had alive, when the member keeps it).
struct Change {
    int table = 0;
    Row key;
    Version version;
    std::optional<Row> content;
    std::optional<Kept> kept;
    qint64 seq = 0;                   // where the sender holds it
    std::optional<Conflict> conflict; // a record of the conflict log instead of a row's version
};

// Where a member can ask for the current version of a row it needs to decide about another one.
class Source {
public:
    virtual ~Source() = default;
    virtual std::optional<Change> current(int table, const Row& key) = 0;
};

class Receiver {
public:
    // `stores` and `links` describe the receiving member's tables; `source` is the partner (none when a
    // member checks its own changes). Works inside the caller's write transaction.
    Receiver(sqlite3* db, qint64 me, std::vector<TableStore*> stores, QList<Link> links, Source* source,
             DirectionStats& stats);

    void apply(const Change& change);
    // Asks for the row to be decided again before finish(); `touched`: its version changed here, so the rows
    // related to it are decided again too, and what it loses is logged.
    void recheck(int table, const Row& key, bool touched = false);
    // Takes a row out of its table into the kept rows, logged: it refers to a row that is missing here.
    void setAside(int table, const Row& key);
    // Decides every row queued and writes the clock. Returns whether anything in the file changed.
    bool finish();
    // What is wrong with the row as it is in the file, compared with what the versions make of it (empty
    // when nothing). Reads only.
    QString divergence(int table, const Row& key);

private:
    // Whether a row could stand as far as the rows it refers to go (and why not).
    struct Verdict {
        bool ok = true;
        QString reason;
    };
    // What the versions make of a row: it stands, it is set aside (a live version that cannot stand), or it
    // is not in the table.
    struct Desired {
        enum Kind { Absent, Stand, Aside } kind = Absent;
        std::optional<ShadowRow> shadow;
        std::optional<Row> content;
        QString reason;
    };

    std::optional<Row> contentOf(int table, const Row& key, const ShadowRow& s);
    // `given`: the row's content, when known; `version`: its version, for a row not recorded yet.
    Verdict available(int table, const Row& key, const Row* given, QSet<QByteArray>& trail,
                      const Version* version = nullptr);
    Verdict availableNow(int table, const Row& key, const Row* given, QSet<QByteArray>& trail,
                         const Version* version);
    bool anchored(int table, const Row& key, QSet<QByteArray>& visited);
    Desired desired(int table, const Row& key);
    // Whether two keys name the same row of the table.
    bool sameRow(int table, const Row& a, const Row& b);
    // Puts the row where its versions say it belongs; the rows related to it are decided again when it moved.
    void place(int table, const Row& key);
    void applyKeyless(const Change& change, const ShadowRow& before);
    // Writes a kept row back into its table; a row refused by the table's own rules is set aside. Returns
    // whether the row stands.
    bool write(int table, const Row& key, const ShadowRow& s, const Row& content, bool fresh);
    // Records the content a deleted row is kept with (its deletion's).
    void keepContent(int table, const Row& key, const Kept& kept);
    // A live version lost to a deletion, as the conflict log has it: the content kept if it is the latest.
    void keepLost(const Conflict& lost);
    void pull(int table, const Row& key);
    void touchNeighbours(int table, const Row& key, const std::optional<Row>& content, bool fresh = false);
    void newIncarnation(int table, const Row& key);
    void suppress(int table, const Row& key, ShadowRow s, const Row& content, const QString& reason);
    void log(int table, const Row& key, const QString& reason, const Version& lost,
             const std::optional<Row>& lostRow, const std::optional<Version>& kept,
             const std::optional<Row>& keptRow);
    qint64 tick(qint64 past = 0);
    int indexOf(const QString& table) const;
    QString text(const char* exchanged, const char* local) const;

    sqlite3* m_db;
    qint64 m_me;
    std::vector<TableStore*> m_stores;
    QList<Link> m_links;
    Source* m_source;
    DirectionStats& m_stats;
    Clock m_clock;
    // The relationships of each table, as a child and as a parent.
    struct Relation {
        const Link* link;
        int child;
        int parent;
        int index; // of the relationship, for the two memories below
    };
    std::vector<std::vector<Relation>> m_asChild;
    std::vector<std::vector<Relation>> m_asParent;
    std::deque<std::pair<int, Row>> m_queue;
    QSet<QByteArray> m_queued;
    QSet<QByteArray> m_touched;
    std::vector<Conflict> m_lost; // losses logged or received, for the content of deleted rows
    QSet<QByteArray> m_available; // rows found able to stand (available()), while nothing else changed
    bool m_assumed = false;       // a verdict leaned on a row further up being able to stand
    // Per relationship: the parent last found able to stand (forgotten with m_available), and the parent
    // last queued while versions are applied.
    std::vector<Row> m_parentSeen;
    std::vector<Row> m_parentQueued;
    bool m_finishing = false;
    void forgetAvailable();
    qint64 m_wall = 0;
    qint64 m_ticks = 0;
    QSet<QByteArray> m_pulled;
    int m_depth = 0;
    qint64 m_pulls = 0;
    bool m_changed = false;
    QString m_name; // this member's description, for the conflicts it logs
};

namespace reasons {
inline const char* const Changed = "changed in two replicas";
inline const char* const DeletedAndChanged = "deleted in one replica and changed in another";
inline const char* const AddedTwice = "the same key was added in two replicas";
} // namespace reasons

} // namespace pell::db::replication

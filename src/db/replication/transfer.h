#pragma once

#include "db/replication/member.h"
#include "db/replication/receiver.h"
#include "db/replication/replication.h"

#include <initializer_list>
#include <memory>
#include <optional>

struct sqlite3;

// One direction of an exchange between two members of a replica set.
namespace pell::db::replication {

struct Member {
    sqlite3* db = nullptr;
    qint64 id = 0;
};

// Brings the receiver up to date with every version the sender holds that the receiver does not, in
// transactions of at most batchSize versions read from the sender, each committed with how far it read.
// A version whose clock is further ahead of the receiver's time than MaxClockAheadMs is refused (3623, naming
// the sender and how far ahead), unless acceptClockAhead.
DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize, qint64 untrusted,
                        bool acceptClockAhead = false);

// Recognises a member whose file is not the file it was in when it last recorded it (a copy, a restore): it
// takes a new identity before any change of its own becomes a version. Returns the member's identity.
qint64 claimFile(sqlite3* db);

// Checks the member's own changes since the last check against the relationships, as an exchange would check
// a partner's: a member written with relationships off (another program) is put right the same way every
// member puts it right. Writes only when something is put right.
void settleOwnChanges(const Member& member);

// A version as the sender holds it now, with the content that travels with it.
Change changeOf(TableStore& store, int table, const Row& key, const ShadowRow& s);

// The sender's change stream: every table's shadow rows after a change number, merged in change order, which
// is the order in which the sender committed them. Reads inside the caller's transaction.
class Stream {
public:
    // `holds`: what the receiver holds of each writer (the versions at or below are not read at all), except
    // for the writer `untrusted`.
    Stream(sqlite3* db, Side& side, qint64 from, const Clocks& holds, qint64 untrusted);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    // Whether anything is left to read.
    bool more();
    std::optional<Change> next();

private:
    struct Cursor {
        Statement stmt;
        bool loaded;
        bool done;
    };
    int earliest();

    Side& m_side;
    std::vector<std::unique_ptr<Cursor>> m_cursors;
};

// Whether the receiver holds the version (or one above it) by what it knows it holds. What a member put back
// from an older copy says of its own writes (`untrusted`) is not trusted: it may have lost some of them.
bool covered(const Clocks& known, const Change& c, qint64 untrusted);
// What a change holds in memory, about: its values' bytes.
qint64 sizeOf(const Change& c);
// The highest clock a change carries: its version's, the content kept with it, a conflict record's.
qint64 clockOf(const Change& c);
// Refuses a sender's version whose clock is too far ahead of `wall` (3623), naming the sender.
[[noreturn]] void refuseClock(const Identity& sender, const QString& where, qint64 clock, qint64 wall);

// Writes one batch of a sender's versions into the receiver, in a transaction of its own, after its own
// changes became versions (all of them checked again when `settle`). `position`: how far the batch read the
// sender, stored with it (none: the mark stays); `snapshot`: what the sender holds, when the batch ends a
// complete read of it.
void commitBatch(const Member& receiver, Side& receiverSide, Source* source, const QList<Change>& batch,
                 qint64 senderId, bool settle, std::optional<qint64> position, const Clocks* snapshot,
                 DirectionStats& stats);

// Triggers off for some connections, for as long as it lives.
class TriggersOff {
public:
    explicit TriggersOff(std::initializer_list<sqlite3*> connections) : m_connections(connections) {
        for (sqlite3* db : m_connections)
            sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    }
    ~TriggersOff() {
        for (sqlite3* db : m_connections)
            sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 1, nullptr);
    }
    TriggersOff(const TriggersOff&) = delete;
    TriggersOff& operator=(const TriggersOff&) = delete;

private:
    std::vector<sqlite3*> m_connections;
};

// SQLite's soft limit on the memory it holds, for as long as it lives (the tighter of it and any limit set).
class SoftHeapLimit {
public:
    explicit SoftHeapLimit(sqlite3_int64 bytes) : m_before(sqlite3_soft_heap_limit64(-1)) {
        if (m_before <= 0 || m_before > bytes)
            sqlite3_soft_heap_limit64(bytes);
    }
    ~SoftHeapLimit() { sqlite3_soft_heap_limit64(m_before); }
    SoftHeapLimit(const SoftHeapLimit&) = delete;
    SoftHeapLimit& operator=(const SoftHeapLimit&) = delete;

private:
    sqlite3_int64 m_before;
};

} // namespace pell::db::replication

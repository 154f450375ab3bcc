#include "db/replication/bundle.h"

#include "core/error.h"
#include "core/progress.h"
#include "core/version.h"
#include "db/replication/conflicts.h"
#include "db/replication/member.h"

#include <QTemporaryFile>
#include <QtEndian>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace pell::db::replication {

namespace {

// A frame larger than this is damage, not data: a batch's values are bounded far below it.
constexpr quint32 MaxFrame = 1U << 30;

// Thrown by Reader at malformed input; the caller turns it into the error that names the file or host.
struct Malformed {};

class Writer {
public:
    void integer(qint64 v) { putVarint(m_out, quint64(v)); }
    void flag(bool v) { m_out.append(char(v ? 1 : 0)); }
    void bytes(const QByteArray& v) {
        integer(v.size());
        m_out.append(v);
    }
    void text(const QString& v) { bytes(v.toUtf8()); }
    void texts(const QStringList& v) {
        integer(v.size());
        for (const QString& t : v)
            text(t);
    }
    void row(const Row& v) { appendKey(m_out, v); }
    void clocks(const Clocks& v) {
        integer(v.size());
        for (auto it = v.cbegin(); it != v.cend(); ++it) {
            integer(it.key());
            integer(it.value());
        }
    }
    // One field of a record, by its type (see the field lists below).
    void operator()(qint64 v) { integer(v); }
    void operator()(int v) { integer(v); }
    void operator()(bool v) { flag(v); }
    void operator()(const QString& v) { text(v); }
    void operator()(const QByteArray& v) { bytes(v); }
    void operator()(const Clocks& v) { clocks(v); }
    QByteArray& out() { return m_out; }

private:
    QByteArray m_out;
};

class Reader {
public:
    explicit Reader(QByteArray in) : m_in(std::move(in)) {}
    qint64 integer() {
        quint64 n = 0;
        if (!getVarint(m_in, m_at, &n))
            throw Malformed{};
        return qint64(n);
    }
    bool flag() {
        if (m_at >= m_in.size())
            throw Malformed{};
        return m_in[m_at++] != 0;
    }
    QByteArray bytes() {
        const qint64 n = integer();
        if (n < 0 || n > m_in.size() - m_at)
            throw Malformed{};
        QByteArray v = m_in.mid(m_at, n);
        m_at += n;
        return v;
    }
    QString text() { return QString::fromUtf8(bytes()); }
    QStringList texts() {
        const qint64 n = count();
        QStringList v;
        for (qint64 i = 0; i < n; ++i)
            v << text();
        return v;
    }
    Row row() {
        // Values as appendKey writes them: a mark, their number, each value.
        if (m_at >= m_in.size() || m_in[m_at] != 'K')
            throw Malformed{};
        ++m_at;
        const qint64 n = count();
        Row v;
        v.reserve(size_t(n));
        for (qint64 i = 0; i < n; ++i) {
            Value value;
            if (!getValue(m_in, m_at, &value))
                throw Malformed{};
            v.push_back(std::move(value));
        }
        return v;
    }
    Clocks clocks() {
        const qint64 n = count();
        Clocks v;
        for (qint64 i = 0; i < n; ++i) {
            const qint64 writer = integer();
            v.insert(writer, integer());
        }
        return v;
    }
    void operator()(qint64& v) { v = integer(); }
    void operator()(int& v) { v = int(integer()); }
    void operator()(bool& v) { v = flag(); }
    void operator()(QString& v) { v = text(); }
    void operator()(QByteArray& v) { v = bytes(); }
    void operator()(Clocks& v) { v = clocks(); }
    // A number of items to follow: each takes at least a byte.
    qint64 count() {
        const qint64 n = integer();
        if (n < 0 || n > m_in.size() - m_at)
            throw Malformed{};
        return n;
    }

private:
    QByteArray m_in; // shared, not copied: a reader may be given a frame just received
    qsizetype m_at = 0;
};

// The fields of each record in their order on the wire, one list for writing (IO = Writer, R const) and
// reading (IO = Reader) alike.
template <class IO, class R> void standingFields(IO& io, R& s) {
    io(s.setId);
    io(s.replicaId);
    io(s.description);
    io(s.readOfPartner);
    io(s.partnerRead);
    io(s.clock);
    io(s.known);
    io(s.forgotten);
    io(s.retention.days);
    io(s.retention.clock);
    io(s.retention.writer);
}

template <class IO, class R> void versionFields(IO& io, R& v) {
    io(v.bornClock);
    io(v.bornWriter);
    io(v.clock);
    io(v.writer);
    io(v.deleted);
    io(v.history);
    io(v.parentBornClock);
    io(v.parentBornWriter);
}

template <class IO, class R> void conflictFields(IO& io, R& c) {
    io(c.table);
    io(c.key);
    io(c.keyText);
    io(c.reason);
    io(c.lostWriter);
    io(c.lostClock);
    io(c.lostDeleted);
    io(c.lostRow);
    io(c.keptWriter);
    io(c.keptClock);
    io(c.keptDeleted);
    io(c.keptRow);
    io(c.loggedAt);
    io(c.loggedBy);
    io(c.loggedClock);
    io(c.loggedByName);
    io(c.state);
    io(c.stateClock);
    io(c.stateWriter);
}

template <class Record> Record readRecord(Reader& r, void (*fields)(Reader&, Record&)) {
    Record record;
    fields(r, record);
    return record;
}

QByteArray encodeChange(const Change& c) {
    Writer w;
    w.integer(c.table + 1);
    w.integer(c.seq);
    if (c.conflict) {
        conflictFields(w, *c.conflict);
        return std::move(w.out());
    }
    w.row(c.key);
    versionFields(w, c.version);
    w.flag(c.content.has_value());
    if (c.content)
        w.row(*c.content);
    w.flag(c.kept.has_value());
    if (c.kept) {
        versionFields(w, c.kept->version);
        w.row(c.kept->content);
    }
    return std::move(w.out());
}

// The sender's table and key of a change, as the bundle's index knows it.
QByteArray indexTag(qint64 table, const Row& key) {
    QByteArray tag;
    putVarint(tag, quint64(table));
    appendKey(tag, key);
    return tag;
}

const char* const PartnersTable = "_pell_partners";

void ensurePartners(sqlite3* db) {
    exec(db,
         QStringLiteral("CREATE TABLE IF NOT EXISTS \"%1\" (partner INTEGER PRIMARY KEY, exported INTEGER "
                        "NOT NULL DEFAULT 0, standing BLOB)")
             .arg(QLatin1String(PartnersTable)));
}

bool partnersExist(sqlite3* db) {
    Statement s(db, QStringLiteral("SELECT 1 FROM sqlite_schema WHERE name = ?1"));
    s.bind(1, QString::fromLatin1(PartnersTable));
    return s.step();
}

[[noreturn]] void damaged(const QString& where, const QString& why) {
    throw Error::make(err::BundleDamaged, where + QStringLiteral(": ") + why);
}

} // namespace

Standing standingOf(sqlite3* db, qint64 partner) {
    const Identity id = readIdentity(db).value_or(Identity{});
    Standing s;
    s.setId = id.setId;
    s.replicaId = id.replicaId;
    s.description = id.description;
    s.readOfPartner = watermark(db, partner);
    s.partnerRead = sentTo(db, partner);
    // Later accounts must read as later even from a member put back to an older clock: the time counts.
    s.clock = qMax(readClock(db).now, wallClock());
    s.known = known(db, id.replicaId);
    s.forgotten = forgotten(db);
    s.retention = readRetention(db);
    return s;
}

QByteArray standingBytes(const Standing& s) {
    Writer w;
    standingFields(w, s);
    return std::move(w.out());
}

std::optional<Standing> standingFromBytes(const QByteArray& bytes) {
    try {
        Reader r(bytes);
        return readRecord<Standing>(r, standingFields<Reader, Standing>);
    } catch (const Malformed&) {
        return std::nullopt;
    }
}

qint64 putBack(const Standing& a, const Standing& b) {
    const auto behind = [](const Standing& m, const Standing& partner) {
        return m.readOfPartner < partner.partnerRead || m.partnerRead < partner.readOfPartner;
    };
    return behind(a, b) ? a.replicaId : behind(b, a) ? b.replicaId : 0;
}

void refuseExpired(const Standing& a, const QString& aWhere, const Standing& b, const QString& bWhere) {
    if (!covers(a.known, b.forgotten))
        throw Error::make(err::MemberExpired, aWhere);
    if (!covers(b.known, a.forgotten))
        throw Error::make(err::MemberExpired, bWhere);
}

// ---- Channel

Channel::Channel(int readFd, int writeFd, QString where, int cut)
    : m_in(readFd), m_out(writeFd), m_where(std::move(where)), m_cut(cut) {}

Channel::~Channel() = default;

void Channel::sendOpening() {
    m_buffer.append(Magic, 8);
    char version[4];
    qToBigEndian(FormatVersion, version);
    m_buffer.append(version, 4);
}

void Channel::receiveOpening() {
    char head[12];
    bool clean = false;
    readExactly(head, 12, &clean);
    if (std::memcmp(head, Magic, 8) != 0)
        throw Error::make(err::BundleForeign,
                          m_where + QStringLiteral(": it is not an exchange of this program."));
    const auto version = qFromBigEndian<quint32>(head + 8);
    if (version > FormatVersion)
        throw Error::make(
            err::BundleTooNew,
            m_where +
                QStringLiteral(": format %1; this program reads up to %2.").arg(version).arg(FormatVersion));
    if (version < 1)
        damaged(m_where, QStringLiteral("its format number is not valid."));
}

void Channel::send(Frame kind, const QByteArray& payload) {
    char head[5];
    head[0] = char(kind);
    qToBigEndian(quint32(payload.size()), head + 1);
    if (m_sum) {
        m_sum->addData(QByteArrayView(head, 5));
        m_sum->addData(payload);
    }
    m_buffer.append(head, 5);
    if (payload.size() >= (1 << 16)) {
        flush();
        m_buffer = payload;
        flush();
    } else {
        m_buffer.append(payload);
        if (m_buffer.size() >= (1 << 16))
            flush();
    }
}

void Channel::flush() {
    qsizetype at = 0;
    while (at < m_buffer.size()) {
        const ssize_t n = ::write(m_out, m_buffer.constData() + at, size_t(m_buffer.size() - at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = errno;
            m_buffer.clear();
            if (e == EPIPE)
                throw Error::make(m_cut, m_where);
            throw Error::make(err::DiskIo,
                              m_where + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(e)));
        }
        at += n;
        m_sent += n;
    }
    m_buffer.clear();
}

void Channel::readExactly(char* into, qint64 size, bool* clean) {
    // Frames are small: they are read from a buffer filled a block at a time, not a system call each (a
    // large payload that finds the buffer empty goes straight to its place).
    constexpr qsizetype Block = 1 << 16;
    qint64 got = 0;
    while (got < size) {
        if (m_inputAt < m_input.size()) {
            const qint64 take = qMin(size - got, qint64(m_input.size() - m_inputAt));
            std::memcpy(into + got, m_input.constData() + m_inputAt, size_t(take));
            m_inputAt += qsizetype(take);
            got += take;
            continue;
        }
        const bool direct = size - got >= Block;
        if (!direct) {
            m_input.resize(Block);
            m_inputAt = 0;
        }
        const ssize_t n = direct ? ::read(m_in, into + got, size_t(size - got))
                                 : ::read(m_in, m_input.data(), size_t(Block));
        const int error = errno;
        if (!direct)
            m_input.resize(qMax<qsizetype>(n, 0));
        if (n < 0 && error == EINTR)
            continue;
        if (n < 0)
            throw Error::make(err::DiskIo,
                              m_where + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(error)));
        if (n == 0) {
            if (got == 0 && clean) {
                *clean = true;
                return;
            }
            throw Error::make(m_cut, m_where);
        }
        if (direct)
            got += n;
    }
}

bool Channel::receive(Frame* kind, QByteArray* payload) {
    flush(); // whatever was said before must reach the other end before we wait for its answer
    char head[5];
    bool clean = false;
    readExactly(head, 5, &clean);
    if (clean)
        return false;
    const auto size = qFromBigEndian<quint32>(head + 1);
    if (size > MaxFrame || head[0] < char(Frame::Hello) || head[0] > char(Frame::Bye))
        damaged(m_where, QStringLiteral("a frame is not valid."));
    payload->resize(size);
    readExactly(payload->data(), size, nullptr);
    *kind = Frame(head[0]);
    if (m_sum) {
        m_sum->addData(QByteArrayView(head, 5));
        m_sum->addData(*payload);
    }
    return true;
}

QByteArray Channel::expect(Frame kind) {
    Frame got{};
    QByteArray payload;
    if (!receive(&got, &payload))
        throw Error::make(m_cut, m_where);
    if (got == Frame::Failure)
        expectFailure(payload);
    if (got != kind)
        damaged(m_where, QStringLiteral("a frame came out of turn."));
    return payload;
}

void Channel::expectFailure(const QByteArray& payload) {
    try {
        Reader r(payload);
        // The other end's refusal as it made it there; here it names the other end too.
        const int number = int(r.integer());
        const QString text = r.text();
        throw Error(number, text.contains(m_where) ? text : text + QStringLiteral(" (") + m_where + u')');
    } catch (const Malformed&) {
        damaged(m_where, QStringLiteral("an error it reported could not be read."));
    }
}

void Channel::startSum() {
    m_sum = std::make_unique<QCryptographicHash>(SumAlgorithm);
}

QByteArray Channel::takeSum() {
    QByteArray sum = m_sum ? m_sum->result() : QByteArray();
    m_sum.reset();
    return sum;
}

// ---- Writing

BundleEnd writeBundle(sqlite3* db, const Standing& sender, const Target& target, Channel& out) {
    Side side = alone(db);
    BundleEnd end;
    exec(db, QStringLiteral("BEGIN"));
    try {
        Writer header;
        standingFields(header, sender);
        header.integer(target.replicaId);
        header.integer(target.from);
        Clocks used = target.holds;
        used.remove(target.untrusted);
        header.clocks(used);
        header.integer(target.untrusted);
        header.text(QString::fromLatin1(ProgramVersion));
        header.integer(qint64(side.stores.size()));
        for (const auto& store : side.stores) {
            const TableInfo& info = store->info();
            header.text(info.name);
            header.flag(info.keyed);
            header.texts(info.keys);
            header.texts(store->carried());
        }
        out.startSum();
        out.send(Frame::Header, header.out());
        Stream stream(db, side, target.from, used, target.untrusted);
        end.position = target.from;
        while (std::optional<Change> c = stream.next()) {
            end.position = c->seq;
            if (covered(used, *c, target.untrusted))
                continue;
            out.send(Frame::Change, encodeChange(*c));
            ++end.changes;
            if (end.changes % 4096 == 0)
                ProgressScope::step({}, end.changes, -1, QStringLiteral("versions"));
        }
        end.held = known(db, sender.replicaId);
        Writer tail;
        tail.integer(end.position);
        tail.integer(end.changes);
        tail.clocks(end.held);
        out.send(Frame::End, tail.out());
        out.send(Frame::Sum, out.takeSum());
        out.flush();
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, QStringLiteral("COMMIT"));
    return end;
}

// ---- Receiving

struct ReceivedBundle::Table {
    QString name;
    bool keyed = true;
    QStringList keys;
    QStringList columns;
    int mine = -1;             // the receiver's store for it, -1 when it follows no such table
    std::vector<int> position; // where each carried column of the receiver stands in the sender's rows
};

ReceivedBundle::ReceivedBundle() = default;
ReceivedBundle::~ReceivedBundle() = default;
ReceivedBundle::ReceivedBundle(ReceivedBundle&&) noexcept = default;

ReceivedBundle ReceivedBundle::receive(Channel& in) {
    ReceivedBundle b;
    b.m_where = in.where();
    b.m_file = std::make_unique<QTemporaryFile>();
    if (!b.m_file->open())
        throw Error::make(err::DiskIo, b.m_file->fileName() + QStringLiteral(": ") + b.m_file->errorString());
    try {
        in.startSum();
        Reader header(in.expect(Frame::Header));
        b.m_sender = readRecord<Standing>(header, standingFields<Reader, Standing>);
        b.m_target.replicaId = header.integer();
        b.m_target.from = header.integer();
        b.m_target.holds = header.clocks();
        b.m_target.untrusted = header.integer();
        header.text(); // the sender's program version, for people reading a bundle
        const qint64 tables = header.count();
        for (qint64 i = 0; i < tables; ++i) {
            Table t;
            t.name = header.text();
            t.keyed = header.flag();
            t.keys = header.texts();
            t.columns = header.texts();
            b.m_tables.push_back(std::move(t));
        }
        QByteArray spool;
        for (;;) {
            Frame kind{};
            QByteArray payload;
            if (!in.receive(&kind, &payload))
                throw Error::make(err::BundleDamaged,
                                  b.m_where + QStringLiteral(": it ends before its last frame."));
            if (kind == Frame::End) {
                Reader tail(payload);
                b.m_end.position = tail.integer();
                b.m_end.changes = tail.integer();
                b.m_end.held = tail.clocks();
                break;
            }
            if (kind != Frame::Change)
                damaged(b.m_where, QStringLiteral("a frame came out of turn."));
            Reader r(payload);
            const qint64 table = r.integer() - 1;
            if (table >= qint64(b.m_tables.size()) || table < -1)
                throw Malformed{};
            b.m_offsets.push_back(b.m_file->pos() + spool.size());
            char length[4];
            qToBigEndian(quint32(payload.size()), length);
            spool.append(length, 4);
            spool.append(payload);
            if (spool.size() >= (1 << 20)) {
                if (b.m_file->write(spool) != spool.size())
                    throw Error::make(err::DiskIo,
                                      b.m_file->fileName() + QStringLiteral(": ") + b.m_file->errorString());
                spool.clear();
            }
        }
        if (b.m_file->write(spool) != spool.size() || !b.m_file->flush())
            throw Error::make(err::DiskIo,
                              b.m_file->fileName() + QStringLiteral(": ") + b.m_file->errorString());
        // Read back in place: the changes are read in turn and looked up while rows are decided.
        if (b.m_file->size() > 0) {
            b.m_map = b.m_file->map(0, b.m_file->size());
            if (!b.m_map)
                throw Error::make(err::DiskIo,
                                  b.m_file->fileName() + QStringLiteral(": ") + b.m_file->errorString());
        }
        const QByteArray sum = in.takeSum();
        if (in.expect(Frame::Sum) != sum)
            damaged(b.m_where, QStringLiteral("its checksum does not match its contents."));
        if (b.m_end.changes != qint64(b.m_offsets.size()))
            damaged(b.m_where, QStringLiteral("it holds another number of changes than it says."));
    } catch (const Malformed&) {
        damaged(b.m_where, QStringLiteral("a frame could not be read."));
    }
    return b;
}

std::optional<Change> ReceivedBundle::read(qint64 number, qint64* seq) {
    const qint64 offset = m_offsets[size_t(number)];
    const auto size = qFromBigEndian<quint32>(m_map + offset);
    const QByteArray payload =
        QByteArray::fromRawData(reinterpret_cast<const char*>(m_map) + offset + 4, size);
    try {
        Reader r(payload);
        Change c;
        const qint64 t = r.integer() - 1;
        c.seq = r.integer();
        *seq = c.seq;
        if (t < 0) {
            c.table = -1;
            c.conflict = readRecord<Conflict>(r, conflictFields<Reader, Conflict>);
            return c;
        }
        const Table& info = m_tables[size_t(t)];
        if (info.mine < 0)
            return std::nullopt;
        c.table = info.mine;
        c.key = r.row();
        versionFields(r, c.version);
        const auto project = [&](const Row& theirs) {
            Row mine;
            mine.reserve(info.position.size());
            for (int at : info.position) {
                if (at >= int(theirs.size()))
                    throw Malformed{};
                mine.push_back(theirs[size_t(at)]);
            }
            return mine;
        };
        if (r.flag())
            c.content = project(r.row());
        if (r.flag()) {
            Kept kept;
            versionFields(r, kept.version);
            kept.content = project(r.row());
            c.kept = std::move(kept);
        }
        return c;
    } catch (const Malformed&) {
        damaged(m_where, QStringLiteral("a change could not be read."));
    }
}

void ReceivedBundle::index() {
    if (m_indexed)
        return;
    m_indexed = true;
    m_index.reserve(qsizetype(m_offsets.size()));
    for (qint64 n = 0; n < qint64(m_offsets.size()); ++n) {
        const qint64 offset = m_offsets[size_t(n)];
        const auto size = qFromBigEndian<quint32>(m_map + offset);
        try {
            Reader r(QByteArray::fromRawData(reinterpret_cast<const char*>(m_map) + offset + 4, size));
            const qint64 table = r.integer() - 1;
            r.integer();
            if (table >= 0)
                m_index.insert(indexTag(table, r.row()), n);
        } catch (const Malformed&) {
            damaged(m_where, QStringLiteral("a change could not be read."));
        }
    }
}

// The sender answering from the bundle for its version of a row: the bundle holds every version the
// receiver lacked when it was written. Most bundles are applied without a question to it, so the index of
// its rows is made at the first one.
struct ReceivedBundle::Source : replication::Source {
    Source(ReceivedBundle& bundle, std::vector<int> theirs) : m_bundle(bundle), m_theirs(std::move(theirs)) {}
    std::optional<Change> current(int table, const Row& key) override {
        const int sender = m_theirs[size_t(table)];
        m_bundle.index();
        const auto it = m_bundle.m_index.constFind(indexTag(sender, key));
        if (it == m_bundle.m_index.cend())
            return std::nullopt;
        qint64 seq = 0;
        std::optional<Change> c = m_bundle.read(it.value(), &seq);
        if (c && !c->version.deleted && !c->content)
            return std::nullopt;
        return c;
    }
    ReceivedBundle& m_bundle;
    std::vector<int> m_theirs;
};

DirectionStats ReceivedBundle::apply(const Member& me, int batchSize, qint64 untrusted,
                                     bool acceptClockAhead) {
    const Identity self = readIdentity(me.db).value_or(Identity{});
    const QString path = QString::fromUtf8(sqlite3_db_filename(me.db, "main"));
    const QString sender = QStringLiteral("\"%1\" (replica %2, %3)")
                               .arg(m_sender.description)
                               .arg(m_sender.replicaId)
                               .arg(m_where);
    if (m_sender.setId != self.setId)
        throw Error::make(err::BundleForeign,
                          m_where + QStringLiteral(": it comes from another replica set than ") + path +
                              u'.');
    if (m_target.replicaId != self.replicaId)
        throw Error::make(err::BundleForeign,
                          m_where + QStringLiteral(": it was made for replica %1, not for %2 (replica %3).")
                                        .arg(m_target.replicaId)
                                        .arg(path)
                                        .arg(self.replicaId));
    if (m_sender.replicaId == self.replicaId)
        throw Error::make(err::SyncWithSelf, m_where);
    DirectionStats stats;
    if (batchSize <= 0)
        batchSize = DefaultBatchSize;

    // My account of the pair, as a pipe's partner would hear it. Through files, what I exported is
    // counted as shown: the partner may have read it before its answer reached me.
    Standing mine = standingOf(me.db, m_sender.replicaId);
    refuseExpired(mine, path, m_sender, sender);
    if (untrusted < 0) {
        Standing shown = mine;
        shown.partnerRead = qMax(mine.partnerRead, exportedTo(me.db, m_sender.replicaId));
        // A sender that did not trust what this member said of its own writes sent them all: they are
        // checked against what stands here, not against that account, which a put-back member cannot give.
        const qint64 back = putBack(shown, m_sender);
        untrusted = back == self.replicaId || m_target.untrusted == self.replicaId ? self.replicaId : 0;
    }

    // Which of my tables each of the sender's is, and where my columns stand in its rows.
    Side side;
    std::vector<int> theirs;
    {
        const Side all = alone(me.db);
        for (size_t t = 0; t < m_tables.size(); ++t) {
            Table& table = m_tables[t];
            const int at = all.indexOf(table.name);
            if (at < 0)
                continue;
            const TableStore& store = *all.stores[size_t(at)];
            const TableInfo& info = store.info();
            if (info.keyed != table.keyed || info.keys.size() != table.keys.size())
                continue;
            bool sameKeys = true;
            for (int k = 0; k < info.keys.size(); ++k)
                sameKeys = sameKeys && info.keys[k].compare(table.keys[k], Qt::CaseInsensitive) == 0;
            if (!sameKeys)
                continue;
            QStringList carried;
            for (const QString& column : store.carried()) {
                for (int i = 0; i < table.columns.size(); ++i) {
                    if (table.columns[i].compare(column, Qt::CaseInsensitive) == 0) {
                        carried << column;
                        table.position.push_back(i);
                        break;
                    }
                }
            }
            bool keysCarried = true;
            for (const QString& k : info.keys)
                keysCarried = keysCarried && carried.contains(k, Qt::CaseInsensitive);
            if (info.keyed && !keysCarried) {
                table.position.clear();
                continue;
            }
            table.mine = int(side.stores.size());
            side.stores.push_back(std::make_unique<TableStore>(me.db, info, carried));
            theirs.push_back(int(t));
        }
        for (const Link& link : all.links)
            if (side.indexOf(link.child) >= 0 && side.indexOf(link.parent) >= 0)
                side.links << link;
    }
    Source source(*this, theirs);

    // The bundle may start past what I have read of its sender (an earlier one has not arrived), or have
    // been written for what I held before I was put back: its versions are applied, but my marks only move
    // when it reads on from them and assumed nothing I do not hold.
    // A bundle its sender wrote trusting what this member said of its own writes, when this member finds
    // itself put back, may lack some of them: it is not complete.
    const qint64 readSoFar = watermark(me.db, m_sender.replicaId);
    const bool trusted = untrusted != self.replicaId || m_target.untrusted == self.replicaId;
    const bool complete =
        m_target.from <= readSoFar && trusted && covers(known(me.db, self.replicaId), m_target.holds);
    const qint64 wall = wallClock();
    QList<Change> batch;
    qint64 bytes = 0;
    qint64 position = readSoFar;
    bool first = true;
    Clocks holds = known(me.db, self.replicaId);
    qint64 marked = readSoFar;
    const auto commit = [&](bool last) {
        const bool moves = complete && position > marked;
        const bool snapshot = last && complete && !covers(holds, m_end.held);
        if (batch.isEmpty() && !moves && !snapshot)
            return; // nothing new: the file is not written
        commitBatch(me, side, &source, batch, m_sender.replicaId, first,
                    moves ? std::optional<qint64>(position) : std::nullopt, snapshot ? &m_end.held : nullptr,
                    stats);
        first = false;
        batch.clear();
        bytes = 0;
        if (moves)
            marked = position;
        holds = known(me.db, self.replicaId);
    };
    for (qint64 n = 0; n < qint64(m_offsets.size()); ++n) {
        qint64 seq = 0;
        std::optional<Change> c = read(n, &seq);
        if (complete)
            position = qMax(position, seq);
        if (!c || covered(holds, *c, untrusted))
            continue;
        if (!acceptClockAhead && clockOf(*c) > wall + (MaxClockAheadMs << 20))
            refuseClock(Identity{m_sender.setId, m_sender.replicaId, m_sender.description}, m_where,
                        clockOf(*c), wall);
        bytes += sizeOf(*c); // received is counted where the change is applied, as in an exchange
        batch << std::move(*c);
        if (batch.size() >= batchSize || bytes >= MaxBatchBytes)
            commit(false);
    }
    if (complete)
        position = qMax(position, m_end.position);
    commit(true);

    // The sender's account: how far it has read me (the mark my next bundle to it starts from), and what it
    // holds. A late bundle's older account does not overwrite a newer one; an account that tells nothing new
    // is not written (an idle exchange writes nothing).
    const std::optional<Standing> before = lastStanding(me.db, m_sender.replicaId);
    const bool later = !before || before->clock < m_sender.clock;
    if (newsIn(before, m_sender) || (later && sentTo(me.db, m_sender.replicaId) != m_sender.readOfPartner)) {
        exec(me.db, QStringLiteral("BEGIN IMMEDIATE"));
        try {
            storeStanding(me.db, m_sender);
            storeSent(me.db, m_sender.replicaId, m_sender.readOfPartner);
            exec(me.db, QStringLiteral("COMMIT"));
        } catch (...) {
            sqlite3_exec(me.db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    adoptRetention(me.db, m_sender.retention);
    return stats;
}

// ---- Marks of partners met through bundles

bool newsIn(const std::optional<Standing>& kept, const Standing& told) {
    return !kept || (kept->clock < told.clock && kept->known != told.known);
}

qint64 exportedTo(sqlite3* db, qint64 partner) {
    if (!partnersExist(db))
        return 0;
    Statement s(db, QStringLiteral("SELECT exported FROM \"_pell_partners\" WHERE partner = ?1"));
    s.bind(1, partner);
    return s.step() ? s.int64(0) : 0;
}

void storeExported(sqlite3* db, qint64 partner, qint64 position) {
    ensurePartners(db);
    Statement s(
        db, QStringLiteral("INSERT INTO \"_pell_partners\" (partner, exported) VALUES (?1, ?2) ON CONFLICT "
                           "(partner) DO UPDATE SET exported = max(exported, excluded.exported)"));
    s.bindAll({partner, position});
    s.run();
}

std::optional<Standing> lastStanding(sqlite3* db, qint64 partner) {
    if (!partnersExist(db))
        return std::nullopt;
    Statement s(db,
                QStringLiteral("SELECT standing FROM \"_pell_partners\" WHERE partner = ?1 AND standing IS "
                               "NOT NULL"));
    s.bind(1, partner);
    if (!s.step())
        return std::nullopt;
    // An account that cannot be read is as none: the next bundle sends more.
    return standingFromBytes(s.value(0).toByteArray());
}

void storeStanding(sqlite3* db, const Standing& partner) {
    ensurePartners(db);
    Statement s(
        db, QStringLiteral("INSERT INTO \"_pell_partners\" (partner, standing) VALUES (?1, ?2) ON CONFLICT "
                           "(partner) DO UPDATE SET standing = excluded.standing"));
    s.bindAll({partner.replicaId, standingBytes(partner)});
    s.run();
}

} // namespace pell::db::replication

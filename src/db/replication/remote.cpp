#include "db/replication/remote.h"

#include "core/error.h"
#include "core/version.h"
#include "db/database.h"
#include "db/replication/bundle.h"
#include "db/replication/metadata.h"
#include "db/replication/retention.h"
#include "db/replication/transfer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pell::db::replication {

namespace {

// A write to a partner that went away must come back as an error, not end the program.
class NoSigpipe {
public:
    NoSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &m_before);
    }
    ~NoSigpipe() { sigaction(SIGPIPE, &m_before, nullptr); }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    struct sigaction m_before {};
};

// What a member's exchange sets up on its connection: see synchronizeWithStats.
void largeCache(sqlite3* db) {
    exec(db, QStringLiteral("PRAGMA cache_size = -65536"));
}

QByteArray encodeStats(qint64 position, const DirectionStats& s) {
    QByteArray out;
    for (qint64 v : {position, s.received, s.applied, s.conflicts, s.batches})
        putVarint(out, quint64(v));
    return out;
}

// `rest`: what follows the numbers (the far side's account of itself once it applied a bundle).
DirectionStats decodeStats(const QByteArray& in, qint64* position, const QString& where,
                           QByteArray* rest = nullptr) {
    qsizetype at = 0;
    quint64 v[5] = {};
    for (quint64& x : v)
        if (!getVarint(in, at, &x))
            throw Error::make(err::BundleDamaged, where);
    *position = qint64(v[0]);
    if (rest)
        *rest = in.mid(at);
    return DirectionStats{qint64(v[1]), qint64(v[2]), qint64(v[3]), qint64(v[4])};
}

Standing decodeStanding(const QByteArray& in, const QString& where) {
    std::optional<Standing> s = standingFromBytes(in);
    if (!s)
        throw Error::make(err::BundleDamaged, where);
    return *s;
}

// The failure of one side, told to the other before it goes.
QByteArray encodeFailure(const Error& e) {
    QByteArray out;
    putVarint(out, quint64(e.number()));
    const QByteArray text = e.text().toUtf8();
    putVarint(out, quint64(text.size()));
    out.append(text);
    return out;
}

// Quotes one word for the remote account's shell.
QString shellWord(const QString& word) {
    QString quoted = word;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

// The far side's program: `ssh` with the remote command, or PELL_SSH (a shell command given the same
// words, as GIT_SSH_COMMAND is).
class Tunnel {
public:
    explicit Tunnel(const RemoteLocation& at) : m_where(at.text) {
        const QString program = qEnvironmentVariableIsEmpty("PELL_REMOTE_PELLDB")
                                    ? QStringLiteral("pelldb")
                                    : qEnvironmentVariable("PELL_REMOTE_PELLDB");
        QStringList words{QStringLiteral("-T"), QStringLiteral("-e"), QStringLiteral("none"),
                          QStringLiteral("-o"), QStringLiteral("BatchMode=yes")};
        if (at.port > 0)
            words << QStringLiteral("-p") << QString::number(at.port);
        words << (at.user.isEmpty() ? at.host : at.user + u'@' + at.host);
        words << shellWord(program) + QStringLiteral(" serve ") + shellWord(at.path);
        QList<QByteArray> argv;
        if (qEnvironmentVariableIsEmpty("PELL_SSH")) {
            argv << "ssh";
        } else {
            argv << "/bin/sh"
                 << "-c" << qgetenv("PELL_SSH") + " \"$@\""
                 << "pell-ssh";
        }
        for (const QString& w : words)
            argv << w.toLocal8Bit();

        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw Error::make(err::RemoteUnreachable, m_where + QStringLiteral(": no pipe."));
        m_errors = std::tmpfile();
        std::vector<char*> args;
        for (QByteArray& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            if (m_errors)
                ::dup2(::fileno(m_errors), 2);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_out = toChild[1];
        m_in = fromChild[0];
        if (m_pid < 0) {
            closeAll();
            throw Error::make(err::RemoteUnreachable,
                              m_where + QStringLiteral(": the program could not be started."));
        }
    }
    ~Tunnel() {
        closeAll();
        if (m_pid > 0)
            finish();
        if (m_errors)
            std::fclose(m_errors);
    }
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    int in() const { return m_in; }
    int out() const { return m_out; }

    // Waits for the far side's program and returns its exit status (-1 when it was killed).
    int finish() {
        closeAll();
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // What went wrong, once the exchange broke off: ssh's own failures are its exit status 255 with its
    // reason on standard error; a missing program is the remote shell's 127.
    Error diagnose(const Error& broke) {
        const int status = finish();
        QString said;
        if (m_errors) {
            std::fflush(m_errors);
            std::rewind(m_errors);
            QFile file;
            if (file.open(m_errors, QIODevice::ReadOnly))
                said = QString::fromLocal8Bit(file.readAll()).trimmed();
        }
        const QString last = said.section(u'\n', -1).trimmed();
        const QString detail = m_where + (last.isEmpty() ? QString() : QStringLiteral(": ") + last);
        // Once the far side has answered, ssh's own failure is the link going down (or the far side's
        // program killed): a cut, after which either side may hold what it committed.
        if (status == 255 && m_opened &&
            (broke.number() == err::ConnectionCut || broke.number() == err::BundleDamaged))
            return Error::make(err::ConnectionCut, detail);
        if (status == 255) {
            static const QRegularExpression login(
                QStringLiteral("Permission denied|Host key verification failed|authentication|Too many "
                               "authentication"),
                QRegularExpression::CaseInsensitiveOption);
            return Error::make(
                login.match(said).hasMatch() ? err::RemoteLoginRefused : err::RemoteUnreachable, detail);
        }
        if (!m_opened)
            return Error::make(err::RemoteProgram, detail);
        if (broke.number() == err::ConnectionCut)
            return Error::make(err::ConnectionCut, detail);
        return broke;
    }
    void opened() { m_opened = true; }

private:
    void closeAll() {
        if (m_in >= 0)
            ::close(m_in);
        if (m_out >= 0)
            ::close(m_out);
        m_in = m_out = -1;
    }

    QString m_where;
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    FILE* m_errors = nullptr;
    bool m_opened = false;
};

// What a client asks of `pelldb serve`.
constexpr quint64 Exchange = 0;
constexpr quint64 Create = 1; // a new replica, sent whole as the file its source made

// Opens the conversation with the far side; what breaks before it answered as pelldb is told as what ssh
// or the remote shell said.
void open(Tunnel& tunnel, Channel& ch, const RemoteLocation& at, const Identity& me, quint64 purpose) {
    ch.sendOpening();
    QByteArray hello;
    const QByteArray path = at.path.toUtf8();
    putVarint(hello, quint64(path.size()));
    hello.append(path);
    putVarint(hello, quint64(me.setId));
    putVarint(hello, quint64(me.replicaId));
    putVarint(hello, purpose);
    ch.send(Frame::Hello, hello);
    ch.flush();
    try {
        ch.receiveOpening();
    } catch (const Error& e) {
        if (e.number() == err::ConnectionCut || e.number() == err::BundleForeign ||
            e.number() == err::BundleTooNew)
            throw Error::make(err::RemoteProgram, at.text + QStringLiteral(": ") + e.text());
        throw;
    }
    tunnel.opened();
}

// A broken conversation is told by what ssh says of it, or by the far side's reason when it stopped reading
// because it refused.
[[noreturn]] void rethrow(const Error& e, Tunnel& tunnel, Channel& ch, const RemoteLocation& at) {
    if (e.number() == err::ConnectionCut) {
        // The far side may have stopped reading because it refused: its reason may be waiting in the pipe.
        try {
            Frame kind{};
            QByteArray payload;
            while (ch.receive(&kind, &payload))
                if (kind == Frame::Failure) {
                    ch.expectFailure(payload);
                }
        } catch (const Error& told) {
            if (told.number() != err::ConnectionCut && told.number() != err::BundleDamaged)
                rethrow(told, tunnel, ch, at);
        }
    }
    throw tunnel.diagnose(e);
}

QByteArray encodePlan(int mode, qint64 untrusted, bool acceptClockAhead, int batchSize) {
    QByteArray out;
    for (qint64 v : {qint64(mode), untrusted, qint64(acceptClockAhead), qint64(batchSize)})
        putVarint(out, quint64(v));
    return out;
}

// A member ready for an exchange: its own changes become versions first, as in every exchange.
void settled(Database& db) {
    claimFile(db.rawHandle());
    largeCache(db.rawHandle());
    settleOwnChanges(Member{db.rawHandle(), identity(db).replicaId});
}

void prune(sqlite3* db) {
    try {
        pruneExpired(db);
    } catch (const Error& e) {
        if (e.number() != err::ReadOnly)
            throw;
    }
}

// The receiver's mark after a bundle: how far it has read the sender.
QByteArray doneFrame(sqlite3* db, qint64 sender, const DirectionStats& stats) {
    return encodeStats(watermark(db, sender), stats);
}

// The partner's answer to a bundle: how far it has now read us, and (from a far side) its account of itself
// after applying it. That account is the one its next bundle opens with when nothing happens in between,
// so keeping it now leaves the next exchange with nothing to write; a later account already kept stands.
void storeAnswer(sqlite3* db, qint64 receiver, qint64 position, const std::optional<Standing>& after) {
    const std::optional<Standing> before = after ? lastStanding(db, receiver) : std::nullopt;
    const bool newer = after && after->replicaId == receiver && newsIn(before, *after);
    if (position == sentTo(db, receiver) && !newer)
        return;
    exec(db, QStringLiteral("BEGIN IMMEDIATE"));
    try {
        storeSent(db, receiver, position);
        if (newer)
            storeStanding(db, *after);
        exec(db, QStringLiteral("COMMIT"));
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

Target targetFor(sqlite3* db, const Standing& partner, qint64 untrusted) {
    Target t;
    t.replicaId = partner.replicaId;
    t.from = partner.readOfPartner;
    // The sender's changes numbered after it was put back may lie below the partner's mark: all again.
    if (readClock(db).now < t.from)
        t.from = 0;
    t.holds = partner.known;
    t.untrusted = untrusted;
    return t;
}

// Puts a new replica's file in place at `path`: written beside it under a name nobody else uses, checked as
// a member of the set, marked as the file it is (it is the replica itself, not a copy of one), and only then
// given its name, which must still be free. A partial file never carries the name.
void receiveReplica(const QString& path, qint64 setId, Channel& ch) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0)
        throw Error::make(err::DatabaseExists, path);
    const QFileInfo info(path);
    QByteArray pattern =
        QFile::encodeName(QDir(info.absolutePath())
                              .filePath(QStringLiteral(".") + info.fileName() + QStringLiteral(".XXXXXX")));
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw Error::make(errno == EACCES || errno == EROFS ? err::FolderReadOnly : err::InvalidPath, path);
    const QString temp = QFile::decodeName(pattern);
    // mkstemp makes the file for its owner alone; a database gets the mode any new file of this account gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    struct Pending {
        QByteArray name;
        int fd;
        ~Pending() {
            if (fd >= 0)
                ::close(fd);
            if (!name.isEmpty())
                ::unlink(name.constData());
        }
    } pending{pattern, fd};
    ch.send(Frame::Done, {});
    QCryptographicHash sum(SumAlgorithm);
    for (;;) {
        Frame kind{};
        QByteArray chunk;
        if (!ch.receive(&kind, &chunk))
            throw Error::make(err::ConnectionCut, ch.where());
        if (kind == Frame::Sum) {
            if (chunk != sum.result())
                throw Error::make(err::BundleDamaged, path);
            break;
        }
        if (kind != Frame::Change)
            throw Error::make(err::BundleDamaged, path);
        sum.addData(chunk);
        for (qsizetype at = 0; at < chunk.size();) {
            const ssize_t n = ::write(fd, chunk.constData() + at, size_t(chunk.size() - at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Error::make(errno == ENOSPC ? err::EngineDiskFull : err::DiskIo, path);
            at += n;
        }
    }
    if (::fsync(fd) != 0)
        throw Error::make(err::DiskIo, path);
    ::close(pending.fd);
    pending.fd = -1;
    {
        auto made = Database::open(temp, OpenOptions{.unshared = true});
        const Identity id = requireIdentity(made->rawHandle(), path);
        if (id.setId != setId)
            throw Error::make(err::DifferentReplicaSet, path);
        sqlite3* raw = made->rawHandle();
        exec(raw, QStringLiteral("BEGIN IMMEDIATE"));
        try {
            if (const std::optional<FileMark> here = currentFile(raw))
                storeFileMark(raw, FileMark{here->device, here->inode, readClock(raw).now});
            exec(raw, QStringLiteral("COMMIT"));
        } catch (...) {
            sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    if (::link(pattern.constData(), name.constData()) != 0)
        throw Error::make(errno == EEXIST ? err::DatabaseExists : err::PathFileAccess, path);
}

} // namespace

namespace {

// One conversation with `pelldb serve` at a location: opened, `body` spoken, closed by both sides, and the
// far side's program ended well; whatever breaks on the way is told as what it was.
template <class Body>
void converse(const RemoteLocation& at, const Identity& me, quint64 purpose, Body body) {
    const NoSigpipe quiet;
    Tunnel tunnel(at);
    Channel ch(tunnel.in(), tunnel.out(), at.text, err::ConnectionCut);
    try {
        open(tunnel, ch, at, me, purpose);
        body(ch);
        ch.send(Frame::Bye, {});
        ch.flush();
        ch.expect(Frame::Bye);
    } catch (const Error& e) {
        rethrow(e, tunnel, ch, at);
    }
    if (const int status = tunnel.finish(); status != 0)
        throw Error::make(err::ConnectionCut,
                          at.text + QStringLiteral(": the far side ended with status %1.").arg(status));
}

} // namespace

void makeRemoteReplica(const QString& made, const Identity& set, const QString& location) {
    converse(parseRemote(location), set, Create, [&](Channel& ch) {
        ch.expect(Frame::Done); // the far side found the name free and can write beside it
        QFile file(made);
        if (!file.open(QIODevice::ReadOnly))
            throw Error::make(err::DiskIo, made);
        QCryptographicHash sum(SumAlgorithm);
        while (!file.atEnd()) {
            const QByteArray chunk = file.read(1 << 20);
            if (chunk.isEmpty())
                throw Error::make(err::DiskIo, made);
            sum.addData(chunk);
            ch.send(Frame::Change, chunk);
        }
        ch.send(Frame::Sum, sum.result());
        ch.expect(Frame::Done);
    });
}

bool isRemote(const QString& location) {
    return location.startsWith(QLatin1String("ssh://"), Qt::CaseInsensitive);
}

RemoteLocation parseRemote(const QString& location) {
    static const QRegularExpression form(
        QStringLiteral(
            "^ssh://(?:([^@/:\\s]+)@)?([^@/:\\s\\[\\]]+|\\[[0-9A-Fa-f:.]+\\])(?::([0-9]{1,5}))?(/.*)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(location);
    RemoteLocation at;
    at.text = location;
    if (!m.hasMatch() || m.captured(4).size() < 2 || m.captured(4).contains(QChar(0)))
        throw Error::make(err::InvalidRemote, location);
    at.user = m.captured(1);
    at.host = m.captured(2);
    if (at.host.startsWith(u'['))
        at.host = at.host.mid(1).chopped(1);
    at.port = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    if (at.port > 65535 || at.host.startsWith(u'-') || at.user.startsWith(u'-'))
        throw Error::make(err::InvalidRemote, location);
    at.path = m.captured(4);
    return at;
}

SyncStats synchronizeRemote(Database& db, const QString& location, int mode, int batchSize,
                            bool acceptClockAhead) {
    if (mode != SyncExport && mode != SyncImport && mode != SyncImpExp)
        throw Error::make(err::InvalidExchangeMode, QString::number(mode));
    const RemoteLocation at = parseRemote(location);
    identity(db);
    claimFile(db.rawHandle()); // who this member is, before it says so
    const Identity me = identity(db);
    sqlite3* raw = db.rawHandle();
    const Member self{raw, me.replicaId};
    const TriggersOff off{raw};
    const SoftHeapLimit bounded(96LL * 1024 * 1024);
    SyncStats stats;
    converse(at, me, Exchange, [&](Channel& ch) {
        // The far side turns its own changes into versions meanwhile.
        largeCache(raw);
        settleOwnChanges(self);
        const Standing theirs = decodeStanding(ch.expect(Frame::Standing), at.text);
        if (theirs.setId != me.setId)
            throw Error::make(err::DifferentReplicaSet, at.text);
        if (theirs.replicaId == me.replicaId)
            throw Error::make(err::SyncWithSelf, at.text);
        const Standing mine = standingOf(raw, theirs.replicaId);
        refuseExpired(mine, db.path(), theirs, at.text);
        const qint64 untrusted = putBack(mine, theirs);
        ch.send(Frame::Standing, standingBytes(mine));
        ch.send(Frame::Plan, encodePlan(mode, untrusted, acceptClockAhead, batchSize));
        if (mode != SyncExport) {
            ReceivedBundle bundle = ReceivedBundle::receive(ch);
            stats.imported = bundle.apply(self, batchSize, untrusted, acceptClockAhead);
            ch.send(Frame::Done, doneFrame(raw, theirs.replicaId, stats.imported));
        }
        if (mode != SyncImport) {
            writeBundle(raw, standingOf(raw, theirs.replicaId), targetFor(raw, theirs, untrusted), ch);
            qint64 position = 0;
            QByteArray after;
            stats.exported = decodeStats(ch.expect(Frame::Done), &position, at.text, &after);
            storeAnswer(raw, theirs.replicaId, position,
                        after.isEmpty() ? std::nullopt : standingFromBytes(after));
        }
    });
    prune(raw);
    return stats;
}

int serve(const QString& path, int in, int out) {
    const NoSigpipe quiet;
    Channel ch(in, out, QStringLiteral("the partner"), err::ConnectionCut);
    try {
        ch.receiveOpening();
        ch.sendOpening();
        qint64 clientSet = 0, clientId = 0;
        quint64 purpose = Exchange;
        QString asked;
        {
            const QByteArray hello = ch.expect(Frame::Hello);
            qsizetype at = 0;
            quint64 n = 0, set = 0, id = 0;
            if (!getVarint(hello, at, &n) || n > quint64(hello.size() - at))
                throw Error::make(err::BundleDamaged, ch.where());
            asked = QString::fromUtf8(hello.mid(at, qsizetype(n)));
            at += qsizetype(n);
            if (!getVarint(hello, at, &set) || !getVarint(hello, at, &id) || !getVarint(hello, at, &purpose))
                throw Error::make(err::BundleDamaged, ch.where());
            clientSet = qint64(set);
            clientId = qint64(id);
        }
        // A key restricted to one database (a forced command) serves that one whatever the client asks for.
        if (QFileInfo(asked).absoluteFilePath() != QFileInfo(path).absoluteFilePath())
            throw Error::make(err::InvalidOperation,
                              QStringLiteral("This account serves %1, not %2.").arg(path, asked));
        if (purpose == Create) {
            receiveReplica(path, clientSet, ch);
            ch.send(Frame::Done, {});
            ch.expect(Frame::Bye);
            ch.send(Frame::Bye, {});
            ch.flush();
            return 0;
        }
        auto db = Database::open(path);
        // Refused as a local exchange refuses the same file.
        if (!readIdentity(db->rawHandle()))
            throw Error::make(err::NotAReplica, path);
        requireIdentity(db->rawHandle(), path);
        settled(*db);
        sqlite3* raw = db->rawHandle();
        const Identity me = identity(*db);
        if (clientSet != me.setId)
            throw Error::make(err::DifferentReplicaSet, path);
        if (clientId == me.replicaId)
            throw Error::make(err::SyncWithSelf, path);
        const TriggersOff off{raw};
        const SoftHeapLimit bounded(96LL * 1024 * 1024);
        ch.send(Frame::Standing, standingBytes(standingOf(raw, clientId)));
        const Standing client = decodeStanding(ch.expect(Frame::Standing), ch.where());
        const QByteArray plan = ch.expect(Frame::Plan);
        qsizetype at = 0;
        quint64 p[4] = {};
        for (quint64& x : p)
            if (!getVarint(plan, at, &x))
                throw Error::make(err::BundleDamaged, ch.where());
        const int mode = int(p[0]);
        const auto untrusted = qint64(p[1]);
        if (mode != SyncExport) {
            writeBundle(raw, standingOf(raw, clientId), targetFor(raw, client, untrusted), ch);
            qint64 position = 0;
            decodeStats(ch.expect(Frame::Done), &position, ch.where());
            storeAnswer(raw, clientId, position, std::nullopt);
        }
        if (mode != SyncImport) {
            ReceivedBundle bundle = ReceivedBundle::receive(ch);
            const DirectionStats stats =
                bundle.apply(Member{raw, me.replicaId}, int(p[3]), untrusted, p[2] != 0);
            ch.send(Frame::Done, doneFrame(raw, clientId, stats) + standingBytes(standingOf(raw, clientId)));
        }
        ch.expect(Frame::Bye);
        prune(raw);
        ch.send(Frame::Bye, {});
        ch.flush();
        return 0;
    } catch (const Error& e) {
        try {
            ch.send(Frame::Failure, encodeFailure(e));
            ch.flush();
        } catch (const Error&) {
        }
        return 1;
    }
}

qint64 exportBundle(Database& db, const QString& file, const QString& partner) {
    identity(db);
    settled(db);
    const Identity me = identity(db);
    sqlite3* raw = db.rawHandle();
    Target target;
    bool ok = false;
    const qint64 id = partner.toLongLong(&ok);
    if (ok && id > 0) {
        // A partner out of reach: its last account of itself, as its last bundle brought it. What it says of
        // its own writes is hearsay by now, so those are sent again where it may lack them.
        const std::optional<Standing> told = lastStanding(raw, id);
        target.replicaId = id;
        target.from = sentTo(raw, id);
        if (told)
            target.holds = told->known;
        target.untrusted = id;
    } else {
        checkDatabasePath(partner);
        if (!QFileInfo::exists(partner))
            throw Error::make(err::FileNotFoundDb, partner);
        auto other = Database::open(partner, OpenOptions{.readOnly = true});
        if (!readIdentity(other->rawHandle()))
            throw Error::make(err::NotAReplica, partner);
        const Identity them = requireIdentity(other->rawHandle(), partner);
        if (them.setId != me.setId)
            throw Error::make(err::DifferentReplicaSet, partner);
        if (them.replicaId == me.replicaId)
            throw Error::make(err::SyncWithSelf, partner);
        // Members that meet through bundles hear of each other's reading one bundle late: what each has
        // exported counts as shown, or the pair would look put back and send each other's writes back.
        Standing theirs = standingOf(other->rawHandle(), me.replicaId);
        theirs.partnerRead = qMax(theirs.partnerRead, exportedTo(other->rawHandle(), me.replicaId));
        Standing mine = standingOf(raw, them.replicaId);
        mine.partnerRead = qMax(mine.partnerRead, exportedTo(raw, them.replicaId));
        refuseExpired(mine, db.path(), theirs, partner);
        target = targetFor(raw, theirs, putBack(mine, theirs));
    }
    if (target.replicaId == me.replicaId)
        throw Error::make(err::SyncWithSelf, partner);
    // The bundle is written beside its destination and put in place whole; a name that is a link is not
    // followed.
    struct stat st {};
    if (::lstat(QFile::encodeName(file).constData(), &st) == 0 && S_ISLNK(st.st_mode))
        throw Error::make(err::DatabaseExists, file);
    QSaveFile out(file);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        throw Error::make(err::PathFileAccess, file + QStringLiteral(": ") + out.errorString());
    BundleEnd end;
    {
        Channel ch(-1, out.handle(), file, err::DiskIo);
        ch.sendOpening();
        end = writeBundle(raw, standingOf(raw, target.replicaId), target, ch);
    }
    if (!out.commit())
        throw Error::make(err::DiskIo, file + QStringLiteral(": ") + out.errorString());
    // What this bundle shows of me counts as shown: the partner may read it before its answer comes back.
    if (end.position <= exportedTo(raw, target.replicaId))
        return end.changes;
    try {
        exec(raw, QStringLiteral("BEGIN IMMEDIATE"));
        storeExported(raw, target.replicaId, end.position);
        exec(raw, QStringLiteral("COMMIT"));
    } catch (...) {
        sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return end.changes;
}

DirectionStats importBundle(Database& db, const QString& file, bool acceptClockAhead) {
    identity(db);
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw Error::make(errno == ENOENT ? err::FileNotFound : err::PathFileAccess, file);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    Channel ch(fd, -1, file, err::BundleDamaged);
    ch.receiveOpening();
    ReceivedBundle bundle = ReceivedBundle::receive(ch);
    settled(db);
    sqlite3* raw = db.rawHandle();
    const TriggersOff off{raw};
    const SoftHeapLimit bounded(96LL * 1024 * 1024);
    const DirectionStats stats = bundle.apply(Member{raw, identity(db).replicaId}, 0, -1, acceptClockAhead);
    prune(raw);
    return stats;
}

} // namespace pell::db::replication

// Randomised histories of a replica set, run as an administrator's set is used: members made from the master,
// from replicas and late in the history; writes by the program and by another program with relationships off
// (referenced rows deleted, supervisors in cycles, keys renamed and added again, one unique value taken on
// two members); exchanges between random pairs in every mode and batch size, between files, over a pipe to
// `pelldb serve` as over SSH, and through bundles carried by hand (some late, twice, out of order, or held
// back), compaction between them, exchanges and imports killed half-way (over the pipe, both ends).
// Everything runs through the real programs (`pelldb`, the `sqlite3` shell) but the program's own writes,
// which go through the engine API as the windows' do.
//
// After every exchange both members must be sound (`pelldb check`, declared relationships). At the end, after
// mode-4 rounds over all pairs (each pair by its own way: files, the pipe or bundles) until a round changes
// nothing: every member holds the same data to the byte,
// an idle round writes nothing, the conflict logs agree, and every version written either stands with the
// content it was written with, was replaced by a writer that had seen it, or is in the conflict log. Copies
// of the members taken before those rounds, brought together round a ring of one-way exchanges instead, end
// with the same data.
//
// PELL_SEED=N runs that seed alone; PELL_SEEDS=N runs seeds 1..N (the CI default comes from CMake's
// PELL_RANDOM_SEEDS); PELLDB=PATH runs another build's pelldb; PELL_KEEP=1 keeps each seed's files;
// PELL_STOP=N ends the history once it has N lines, to look at the members as they stood there.
// The history (every statement, pair, mode, batch size, and the write transaction a kill aims at) is a
// function of the seed alone. What it does is not entirely: replica ids are drawn anew, versions written
// within one millisecond are ordered by them, and a kill lands where polling for the journal catches the
// exchange, so a seed may take another turn on another run. The checks hold for every turn.
#include "db/database.h"
#include "db/transaction.h"
#include "support/test_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QtTest>

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include <csignal>

#ifndef PELL_RANDOM_SEEDS
#define PELL_RANDOM_SEEDS 0
#endif

using namespace pell;
using namespace pell::test;

namespace {

QString pelldbProgram() {
    const QString given = qEnvironmentVariable("PELLDB");
    return given.isEmpty() ? pelldbPath() : given;
}

// A run's standard output and errors in one, for the history's report.
Ran runProgram(const QString& program, const QStringList& args) {
    const Ran ran = runToEnd(program, args);
    return {ran.code, ran.all().trimmed(), {}};
}

// ---- What a file holds, read with plain SQLite ------------------------------------------------------------

// A value as its type and its exact bytes, readable where it is plain text.
QString cell(sqlite3_stmt* s, int i) {
    switch (sqlite3_column_type(s, i)) {
    case SQLITE_NULL:
        return u"null"_s;
    case SQLITE_INTEGER:
        return u"i:"_s + QString::number(sqlite3_column_int64(s, i));
    case SQLITE_FLOAT: {
        const double d = sqlite3_column_double(s, i);
        char bytes[sizeof d];
        std::memcpy(bytes, &d, sizeof d);
        return u"f:"_s + QString::number(d, 'g', 17) + u'/' +
               QString::fromLatin1(QByteArray(bytes, sizeof d).toHex());
    }
    case SQLITE_TEXT: {
        const QByteArray bytes(reinterpret_cast<const char*>(sqlite3_column_text(s, i)),
                               sqlite3_column_bytes(s, i));
        QString text = u"t:"_s;
        for (const char c : bytes) {
            const int b = static_cast<unsigned char>(c);
            text += b >= 0x20 && b < 0x7f && b != '\\' ? QString(QChar(char16_t(b)))
                                                       : u"\\x%1"_s.arg(b, 2, 16, QChar(u'0'));
        }
        return text;
    }
    default:
        return u"b:"_s + QString::fromLatin1(QByteArray(static_cast<const char*>(sqlite3_column_blob(s, i)),
                                                        sqlite3_column_bytes(s, i))
                                                 .toHex());
    }
}

struct Table {
    QString name;
    QStringList columns;
    QList<QStringList> rows; // cells, sorted
};

class RawFile {
public:
    explicit RawFile(const QString& path) {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK)
            m_error = u"cannot open "_s + path;
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~RawFile() { sqlite3_close(m_db); }
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    // Every row of a query, each as its cells.
    QList<QStringList> rows(const QString& sql) {
        QList<QStringList> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &s, nullptr) != SQLITE_OK) {
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db)) + u" in "_s + sql;
            return out;
        }
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            QStringList row;
            for (int i = 0; i < sqlite3_column_count(s); ++i)
                row << cell(s, i);
            out << row;
        }
        if (rc != SQLITE_DONE)
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db)) + u" in "_s + sql;
        sqlite3_finalize(s);
        return out;
    }

    // The tables the administrator's programs see: every one but SQLite's and the engine's.
    QList<Table> userTables() {
        QList<Table> tables;
        for (const QStringList& name :
             rows(u"SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE 'sqlite\\_%' ESCAPE "
                  "'\\' AND name NOT LIKE '\\_pell\\_%' ESCAPE '\\' ORDER BY name"_s)) {
            Table t;
            t.name = name[0].mid(2);
            for (const QStringList& c : rows(u"SELECT name FROM pragma_table_info('%1')"_s.arg(t.name)))
                t.columns << c[0].mid(2);
            t.rows = rows(u"SELECT * FROM \"%1\""_s.arg(t.name));
            std::sort(t.rows.begin(), t.rows.end());
            tables << t;
        }
        return tables;
    }

    const QString& error() const { return m_error; }

private:
    sqlite3* m_db = nullptr;
    QString m_error;
};

// A file's user tables as one text, for comparing members and telling where they differ.
QMap<QString, QStringList> dumpOf(const QString& path, QString* error) {
    RawFile file(path);
    QMap<QString, QStringList> dump;
    for (const Table& t : file.userTables()) {
        QStringList& lines = dump[t.name];
        for (const QStringList& row : t.rows)
            lines << row.join(u" | "_s);
    }
    if (!file.error().isEmpty())
        *error = file.error();
    return dump;
}

// Each written version carries a marker of its own: "w17" (or "w17.KEY" where one statement writes several
// rows) in a text column, 1000017 in SYSTEM's number column.
const QRegularExpression markerText(u"^w\\d+(\\.[A-Za-z0-9]+)?$"_s);
struct MarkerColumn {
    QString table;
    QString column;
};
const MarkerColumn markerColumns[] = {{u"USER"_s, u"User_Name"_s},    {u"SCR"_s, u"SCR_Title"_s},
                                      {u"TOOL"_s, u"Tool_EXE"_s},     {u"ATTACH"_s, u"File_Name"_s},
                                      {u"ROUTE"_s, u"Route_Note"_s},  {u"BADGE"_s, u"Holder"_s},
                                      {u"SYSTEM"_s, u"MAX_STORAGE"_s}};
constexpr qint64 systemBase = 1000000;

QString markerOfCell(const QString& cellText) {
    if (cellText.startsWith(u"t:"_s) && markerText.match(cellText.mid(2)).hasMatch())
        return cellText.mid(2);
    if (cellText.startsWith(u"i:"_s) && cellText.mid(2).toLongLong() > systemBase)
        return u"w"_s + QString::number(cellText.mid(2).toLongLong() - systemBase);
    return {};
}

// Marker -> "TABLE: the row's cells", for every marked row of a file.
QMultiHash<QString, QString> markersIn(const QString& path, QString* error) {
    RawFile file(path);
    QMultiHash<QString, QString> out;
    for (const Table& t : file.userTables()) {
        for (const MarkerColumn& m : markerColumns) {
            if (m.table.compare(t.name, Qt::CaseInsensitive) != 0)
                continue;
            const qsizetype at = t.columns.indexOf(m.column);
            for (const QStringList& row : t.rows) {
                const QString marker = at < 0 ? QString() : markerOfCell(row[at]);
                if (!marker.isEmpty())
                    out.insert(marker, t.name + u": "_s + row.join(u" | "_s));
            }
        }
    }
    if (!file.error().isEmpty() && error)
        *error = file.error();
    return out;
}

QStringList foreignKeyProblems(const QString& path) {
    RawFile file(path);
    QStringList problems;
    for (const QStringList& row : file.rows(u"PRAGMA foreign_key_check"_s))
        problems << row.join(u' ');
    if (!file.error().isEmpty())
        problems << file.error();
    return problems;
}

// The bytes and the modification time of a file (to the millisecond; the idle round starts well after the
// last write).
QByteArray fileState(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "missing";
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex() + ' ' +
           QByteArray::number(QFileInfo(path).lastModified().toMSecsSinceEpoch());
}

// ---- The history ----------------------------------------------------------------------------------------

struct Member {
    QString name;
    QString path;
    QString file() const { return name + u".mdb"_s; }
};

// One write: its statements run in one transaction; `deletes` when it ends rows (a deletion, a key renamed,
// a key added again), after which the rows it saw may still stand as deletions that wait for what refers to
// them; otherwise what it saw must never stand again.
struct Write {
    QStringList statements;
    bool deletes = false;
};

QString q(const QString& text) {
    return u'\'' + QString(text).replace(u'\'', u"''"_s) + u'\'';
}

const QRegularExpression memberFile(u"^m\\d\\.mdb$"_s);

class History {
public:
    History(quint32 seed, const QString& folder) : m_seed(seed), m_random(seed), m_folder(folder) {}

    // The whole history and its final checks; false when anything failed. A failure does not end the
    // history (a member that refuses an exchange is left for the next one, as an administrator would), so
    // one run tells every kind of failure a seed meets; the first one is the one to look at.
    bool run() {
        if (!start())
            return false;
        const int target = 3 + int(m_random.bounded(4)); // 3 to 6 members
        const int early = std::min(target - 1, 1 + int(m_random.bounded(2)));
        for (int i = 0; i < early; ++i)
            makeReplica(i == 0 ? 0 : int(m_random.bounded(int(m_members.size()))));
        const int steps = 50 + int(m_random.bounded(40));
        // The members made late, at steps chosen now; each from any member there is by then.
        QList<int> late;
        for (int i = early + 1; i < target; ++i)
            late << int(m_random.bounded(steps));
        std::sort(late.begin(), late.end());
        for (int step = 0; step < steps; ++step) {
            while (!late.isEmpty() && late.first() == step) {
                late.removeFirst();
                makeReplica(int(m_random.bounded(int(m_members.size()))));
            }
            const int r = int(m_random.bounded(100));
            r < 58 ? write() : r < 84 ? exchange(false) : r < 92 ? exchange(true) : compact();
            if (m_stopAfter > 0 && m_ops.size() >= m_stopAfter)
                return false;
        }
        const QStringList copies = copyMembers(u"ring"_s);
        settle();
        finalChecks();
        ringSettles(copies);
        return m_failures.isEmpty();
    }

    // One line per kind of failure: how often, and where first.
    QString summary() const {
        QStringList kinds;
        for (const auto& [kind, count] : m_kinds)
            kinds << u"%1 x%2"_s.arg(kind).arg(count);
        return kinds.join(u", "_s);
    }

    QString report() const {
        QString text = u"seed %1: %2\n    %3\n"_s.arg(m_seed).arg(summary(), m_failures.join(u"\n    "_s));
        text += u"history (PELL_SEED=%1 runs it again; members mN.mdb in one folder):\n"_s.arg(m_seed);
        for (qsizetype i = 0; i < m_ops.size(); ++i)
            text += u"  %1 %2\n"_s.arg(i + 1, 3).arg(m_ops[i]);
        return text;
    }

private:
    // ---- steps

    // Records a failure of a kind of check; the first three of each kind are told in full.
    bool fail(const QString& check, const QString& detail) {
        static const QRegularExpression errorNumber(u"error (\\d+)"_s);
        QString kind = check;
        if (check.endsWith(u"sync"_s)) {
            const auto match = errorNumber.match(detail);
            kind += match.hasMatch() ? u" error "_s + match.captured(1) : u" crashed"_s;
        }
        auto it =
            std::find_if(m_kinds.begin(), m_kinds.end(), [&](const auto& k) { return k.first == kind; });
        if (it == m_kinds.end())
            it = m_kinds.insert(m_kinds.end(), {kind, 0});
        if (++it->second <= 3)
            m_failures << u"step %1 (%2): %3: %4"_s.arg(m_ops.size())
                              .arg(m_ops.isEmpty() ? QString() : m_ops.last(), check, detail);
        return false;
    }

    QString pathOf(const QString& name) const { return QDir(m_folder).filePath(name + u".mdb"_s); }

    bool pelldb(const QStringList& args, const QString& check, Ran* result = nullptr) {
        QStringList full;
        for (const QString& a : args)
            full << (memberFile.match(a).hasMatch() ? QDir(m_folder).filePath(a) : a);
        const Ran ran = runProgram(pelldbProgram(), full);
        if (result)
            *result = ran;
        if (ran.code != 0)
            return fail(check, u"pelldb %1 exit %2: %3"_s.arg(args.join(u' ')).arg(ran.code).arg(ran.out));
        return true;
    }

    bool start() {
        QDir().mkpath(QDir(m_folder).filePath(u"carried"_s));
        m_members << Member{u"m0"_s, pathOf(u"m0"_s)};
        m_ops << u"pelldb init m0.mdb --sample"_s;
        if (!pelldb({u"init"_s, u"m0.mdb"_s, u"--sample"_s}, u"init"_s))
            return false;
        // A table with a value that must be unique, as an administrator may add one: codes ignore case.
        const QString badges = u"CREATE TABLE BADGE (Badge_ID INTEGER PRIMARY KEY, Code TEXT COLLATE NOCASE "
                               "UNIQUE, Holder TEXT); INSERT INTO BADGE VALUES (1, 'A', 'first'), (2, 'B', "
                               "'second');"_s;
        m_ops << u"sqlite3 m0.mdb \"%1\""_s.arg(badges);
        const Ran made = runProgram(u"sqlite3"_s, {u"-bail"_s, pathOf(u"m0"_s), badges});
        if (made.code != 0)
            return fail(u"setup"_s, made.out);
        m_ops << u"pelldb make-master m0.mdb --no-list"_s;
        return pelldb({u"make-master"_s, u"m0.mdb"_s, u"--no-list"_s}, u"make-master"_s);
    }

    bool makeReplica(int from) {
        const QString name = u"m%1"_s.arg(m_members.size());
        const Member source = m_members[from];
        m_ops << u"pelldb make-replica %1.mdb %2.mdb --no-list"_s.arg(source.name, name);
        if (!pelldb({u"make-replica"_s, source.file(), name + u".mdb"_s, u"--no-list"_s}, u"make-replica"_s))
            return false;
        m_members << Member{name, pathOf(name)};
        QString error;
        if (dumpOf(source.path, &error) != dumpOf(pathOf(name), &error))
            return fail(u"make-replica"_s, u"the new replica's data differs from its source's"_s);
        return error.isEmpty() || fail(u"make-replica"_s, error);
    }

    int pickMember() { return int(m_random.bounded(int(m_members.size()))); }

    enum class Way { Files, Pipe, Bundles };

    QString remote(int i) const { return LocalTunnel::location(m_members[i].path); }

    // Kills the far side of an exchange over the pipe too, as a cut line or a power cut there would end it,
    // and waits until it is gone: its file is the next exchange's.
    void killFarSide() {
        QFile pid(m_ssh + u".pid"_s);
        if (!pid.open(QIODevice::ReadOnly))
            return;
        const pid_t far = pid_t(pid.readAll().trimmed().toInt());
        pid.close();
        pid.remove();
        if (far <= 0)
            return;
        ::kill(far, SIGKILL);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            QFile stat(u"/proc/%1/stat"_s.arg(far));
            if (!stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z "))
                return;
            QThread::msleep(5);
        }
        fail(u"killed sync"_s, u"the far side did not end"_s);
    }

    // Runs pelldb with `args` (files by full path) and kills it inside its k-th write transaction on any of
    // `files`, seen by the rollback journal appearing beside the file, so the kill lands at the same point
    // of the same run on every run as far as polling every millisecond can tell; a run with fewer
    // transactions ends by itself. Returns how the kill went, for the history.
    // `afterMs` >= 0: killed that long after it started instead, wherever it is then (over the pipe: often
    // while a bundle streams, when no file is being written).
    QString killIn(const QStringList& args, const QStringList& files, int k, int afterMs = -1) {
        QFile::remove(m_ssh + u".pid"_s);
        const auto writing = [&] {
            for (const QString& f : files)
                if (QFileInfo::exists(f + u"-journal"_s))
                    return true;
            return false;
        };
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(pelldbProgram(), args);
        int seen = 0;
        bool inside = false;
        bool ended = false;
        QElapsedTimer clock;
        clock.start();
        if (afterMs >= 0)
            ended = p.waitForFinished(afterMs);
        while (afterMs < 0 && !(ended = p.waitForFinished(1)) && clock.elapsed() < 20000) {
            const bool now = writing();
            seen += now && !inside;
            inside = now;
            if (seen == k)
                break;
        }
        p.kill();
        killFarSide();
        p.waitForFinished(30000);
        if (ended && p.exitCode() != 0)
            fail(u"killed sync"_s, QString::fromLocal8Bit(p.readAll()));
        if (afterMs >= 0)
            return u"  # kill -9 after %1 ms, both ends%2"_s.arg(afterMs).arg(ended ? u" (it had ended)"_s
                                                                                    : QString());
        return u"  # kill -9 in its write transaction %1%2"_s.arg(k).arg(
            ended ? u" (it ended after %1)"_s.arg(seen) : QString());
    }

    bool exchange(bool kill) {
        const int a = pickMember();
        const int b = (a + 1 + int(m_random.bounded(int(m_members.size()) - 1))) % int(m_members.size());
        static const int modes[] = {1, 2, 4, 4};
        static const int batches[] = {0, 1, 2, 3, 7, 50};
        const int mode = modes[m_random.bounded(4)];
        const int batch = batches[m_random.bounded(6)];
        const int way = int(m_random.bounded(10));
        if (way >= 8)
            return carry(a, b, mode, kill);
        const bool pipe = way >= 5;
        QStringList args{u"sync"_s, m_members[a].file(), pipe ? remote(b) : m_members[b].file(), u"--mode"_s,
                         QString::number(mode)};
        if (batch > 0)
            args << u"--batch"_s << QString::number(batch);
        if (kill) {
            // The next run of the same exchange must finish the work.
            const int k = 1 + int(m_random.bounded(4));
            QStringList killed = args;
            if (batch == 0)
                killed << u"--batch"_s << u"1"_s;
            QStringList full = killed;
            full[1] = m_members[a].path;
            if (!pipe)
                full[2] = m_members[b].path;
            const int afterMs = pipe && m_random.bounded(2) ? int(m_random.bounded(250)) : -1;
            const QString how = killIn(full, {m_members[a].path, m_members[b].path}, k, afterMs);
            m_ops << u"pelldb "_s + killed.join(u' ') + how;
        }
        m_ops << u"pelldb "_s + args.join(u' ');
        if (!pelldb(args, u"sync"_s))
            return false;
        const bool first = sound(a);
        return sound(b) && first;
    }

    qint64 replicaId(int i) {
        RawFile file(m_members[i].path);
        const QList<QStringList> rows = file.rows(u"SELECT replica_id FROM _pell_replica"_s);
        return rows.isEmpty() ? 0 : rows[0][0].mid(2).toLongLong();
    }

    // An exchange through bundles: mode 1 carries a's to b, mode 2 b's to a, mode 4 both, one after the
    // other, each answered by the next bundle back.
    bool carry(int a, int b, int mode, bool kill) {
        bool ok = true;
        if (mode != 2)
            ok = deliver(a, b, kill, false) && ok;
        if (mode != 1)
            ok = deliver(b, a, kill && mode == 2, false) && ok;
        return ok;
    }

    // Writes a bundle from one member for another and, mostly, imports it at once. Now and then it is held
    // back (to arrive with a later one, or never), and now and then an older one for the same member
    // arrives first, again or late. `reliable`: delivered at once, nothing else. Each member is checked once
    // it has done its part: a member a bundle has not reached yet is as its other programs left it.
    bool deliver(int from, int to, bool kill, bool reliable) {
        const QString bundle = u"carried/b%1.bnd"_s.arg(++m_bundles);
        const QString partner =
            reliable || m_random.bounded(2) ? m_members[to].file() : QString::number(replicaId(to));
        const QStringList out{u"export"_s, m_members[from].file(), QDir(m_folder).filePath(bundle),
                              u"--for"_s, partner};
        m_ops << u"pelldb export %1 %2 --for %3"_s.arg(m_members[from].file(), bundle, partner);
        if (!pelldb(out, u"export"_s) || !sound(from))
            return false;
        QStringList& waiting = m_carried[to];
        const int fate = reliable ? 5 : int(m_random.bounded(10));
        if (fate == 0) {
            waiting << bundle;
            m_ops << u"# %1 is held back"_s.arg(bundle);
            return true;
        }
        bool ok = true;
        if (fate == 1 && !waiting.isEmpty())
            ok = take(to, waiting.at(int(m_random.bounded(int(waiting.size())))), false) && ok;
        ok = take(to, bundle, kill) && ok;
        waiting << bundle;
        return sound(to) && ok;
    }

    bool take(int to, const QString& bundle, bool kill) {
        const QStringList args{u"import"_s, m_members[to].file(), QDir(m_folder).filePath(bundle)};
        if (kill) {
            const int k = 1 + int(m_random.bounded(3));
            const QString how = killIn({u"import"_s, m_members[to].path, QDir(m_folder).filePath(bundle)},
                                       {m_members[to].path}, k);
            m_ops << u"pelldb import %1 %2"_s.arg(m_members[to].file(), bundle) + how;
        }
        m_ops << u"pelldb import %1 %2"_s.arg(m_members[to].file(), bundle);
        return pelldb(args, u"import"_s);
    }

    // What must hold of a member after every exchange it took part in.
    bool sound(int i) {
        const Member& m = m_members[i];
        Ran ran;
        bool ok = pelldb({u"check"_s, m.file()}, u"pelldb check"_s, &ran);
        const QStringList fk = foreignKeyProblems(m.path);
        if (!fk.isEmpty())
            ok = fail(u"foreign_key_check"_s, m.name + u": "_s + fk.join(u"; "_s));
        return ok;
    }

    bool compact() {
        const Member& m = m_members[pickMember()];
        m_ops << u"pelldb compact %1.mdb"_s.arg(m.name);
        QString error;
        const auto before = dumpOf(m.path, &error);
        const QString folder = QDir(m_folder).filePath(u"program"_s);
        QDir().mkpath(folder);
        if (!pelldb({u"compact"_s, m.file(), u"--folder"_s, folder}, u"compact"_s))
            return false;
        if (dumpOf(m.path, &error) != before)
            return fail(u"compact"_s, u"the data changed"_s);
        return error.isEmpty() || fail(u"compact"_s, error);
    }

    // ---- writes

    QString mark() { return u"w%1"_s.arg(++m_counter); }
    template <class T> const T& pick(const QList<T>& list) {
        return list[m_random.bounded(int(list.size()))];
    }
    bool chance(int percent) { return int(m_random.bounded(100)) < percent; }

    // A user key, sometimes in other letters' case: the engine compares keys as SQLite does, ignoring case.
    QString user() {
        static const QStringList pool{u"support"_s, u"clerk1"_s, u"clerk2"_s, u"dev"_s, u"dev1"_s, u"dev2"_s,
                                      u"intern"_s,  u"guest"_s,  u"u1"_s,     u"u2"_s,  u"u3"_s};
        QString id = pick(pool);
        if (chance(20))
            id = chance(50) ? id.toUpper() : id.left(1).toUpper() + id.mid(1);
        return id;
    }
    QString owner() { return chance(25) ? u"admin"_s : user(); }
    QString task() {
        static const QList<int> pool{1, 2, 3, 4, 101, 102, 103, 104};
        return QString::number(pick(pool));
    }
    QString category() {
        static const QStringList pool{u"Bug"_s,    u"Enhancement"_s, u"Question"_s,
                                      u"Urgent"_s, u"Cat5"_s,        u"cat5"_s};
        return pick(pool);
    }
    QString priority() {
        static const QStringList pool{u"High"_s, u"Normal"_s, u"Low"_s, u"P4"_s};
        return pick(pool);
    }
    QString tool() {
        static const QStringList pool{u"Calculator"_s, u"Task Report"_s, u"Editor"_s, u"editor"_s};
        return pick(pool);
    }
    QString code() {
        static const QStringList pool{u"A"_s, u"a"_s, u"B"_s, u"C"_s, u"D"_s};
        return pick(pool);
    }
    // The n-th row of a table by its key, whatever rows the member has.
    static QString nth(const QString& table, const QString& key, int n) {
        return u"%1=(SELECT %1 FROM %2 ORDER BY %1 LIMIT 1 OFFSET %3)"_s.arg(key, table).arg(n);
    }

    Write makeWrite() {
        // Every value is drawn first, in one order, so the history does not depend on the order in which a
        // compiler evaluates arguments.
        const int kind = int(m_random.bounded(30));
        const int how = int(m_random.bounded(100));
        const int offset = int(m_random.bounded(6));
        const QString m = mark();
        const QString m2 = mark();
        const QString u = user();
        const QString v = user();
        const QString o = owner();
        const QString t = task();
        const QString t2 = task();
        const QString c = category();
        const QString c2 = category();
        const QString p = priority();
        const QString p2 = priority();
        const QString name = tool();
        const QString code1 = code();
        const QString code2 = code();
        const QString badge = QString::number(1 + m_random.bounded(4));
        const QString supervisor = how < 15 ? u"NULL"_s : q(o);
        const auto update = [&](const QString& set, const QString& where) {
            return u"UPDATE %1 WHERE %2"_s.arg(set, where);
        };
        switch (kind) {
        case 0:
        case 1: // a user added
            return {
                {u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES (%1, %2, %3)"_s.arg(
                    q(u), q(m), supervisor)}};
        case 2:
        case 3: // a user's name
            return {{update(u"\"USER\" SET User_Name="_s + q(m), u"User_ID="_s + q(u))}};
        case 4: // a user moved to another team, perhaps under one of its own team
            return {{update(u"\"USER\" SET User_Name=%1, Supervisor_User_ID=%2"_s.arg(q(m), q(o)),
                            u"User_ID="_s + q(u))}};
        case 5: // two users each other's supervisor
            return {{update(u"\"USER\" SET User_Name=%1, Supervisor_User_ID=%2"_s.arg(q(m), q(v)),
                            u"User_ID="_s + q(u)),
                     update(u"\"USER\" SET User_Name=%1, Supervisor_User_ID=%2"_s.arg(q(m2), q(u)),
                            u"User_ID="_s + q(v))}};
        case 6:
        case 7: // a user deleted, whether it owns tasks or leads a team or not
            return {{u"DELETE FROM \"USER\" WHERE User_ID="_s + q(u)}, true};
        case 8: // a user deleted after its tasks and its team were handed to another
            return {
                {update(u"SCR SET SCR_Owner=%1, SCR_Title=%2||'.'||SCR_Number"_s.arg(q(o), q(m)),
                        u"SCR_Owner="_s + q(u)),
                 update(u"\"USER\" SET Supervisor_User_ID=%1, User_Name=%2||'.'||User_ID"_s.arg(q(o), q(m)),
                        u"Supervisor_User_ID=%1 AND User_ID<>%2"_s.arg(q(u), q(o))),
                 u"DELETE FROM \"USER\" WHERE User_ID="_s + q(u)},
                true};
        case 9: // a user's key renamed
            return {
                {update(u"\"USER\" SET User_ID=%1, User_Name=%2"_s.arg(q(v), q(m)), u"User_ID="_s + q(u))},
                true};
        case 10: // a user deleted and added again with the same key
            return {
                {u"DELETE FROM \"USER\" WHERE User_ID="_s + q(u),
                 u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES (%1, %2, %3)"_s.arg(
                     q(u), q(m), supervisor)},
                true};
        case 11:
        case 12: // a task added
            return {{u"INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner, SCR_Category, "
                     "SCR_Priority) VALUES (%1, %2, 'A', %3, %4, %5)"_s.arg(t, q(m), q(o), q(c), q(p))}};
        case 13:
        case 14: // a task handed to another, or its category changed
            return {{update(how < 50 ? u"SCR SET SCR_Title=%1, SCR_Owner=%2"_s.arg(q(m), q(o))
                                     : u"SCR SET SCR_Title=%1, SCR_Category=%2"_s.arg(q(m), q(c)),
                            u"SCR_Number="_s + t)}};
        case 15: // a task deleted, with or without its attachments and routing steps
            if (how < 50)
                return {{u"DELETE FROM SCR WHERE SCR_Number="_s + t}, true};
            return {{u"DELETE FROM ATTACH WHERE SCR_Number="_s + t,
                     u"DELETE FROM ROUTE WHERE SCR_Number="_s + t,
                     u"DELETE FROM SCR WHERE SCR_Number="_s + t},
                    true};
        case 16: // a task renumbered, or deleted and added again
            if (how < 50)
                return {
                    {update(u"SCR SET SCR_Number=%1, SCR_Title=%2"_s.arg(t2, q(m)), u"SCR_Number="_s + t)},
                    true};
            return {
                {u"DELETE FROM SCR WHERE SCR_Number="_s + t,
                 u"INSERT INTO SCR (SCR_Number, SCR_Title, SCR_STATUS, SCR_Owner, SCR_Category) VALUES (%1, "
                 "%2, 'B', %3, %4)"_s.arg(t, q(m), q(o), q(c))},
                true};
        case 17: // an attachment, its contents with a NUL and bytes that are not UTF-8
            return {
                {u"INSERT INTO ATTACH (SCR_Number, File_Name, Contents) VALUES (%1, %2, CAST(x'00ff'||%2 AS "
                 "BLOB))"_s.arg(t, q(m))}};
        case 18:
            return {
                {update(u"ATTACH SET File_Name="_s + q(m), nth(u"ATTACH"_s, u"Attach_Number"_s, offset))}};
        case 19:
            return {{u"DELETE FROM ATTACH WHERE "_s + nth(u"ATTACH"_s, u"Attach_Number"_s, offset)}, true};
        case 20: // a routing step, its date a text that is not UTF-8; or sixty in one statement
            if (how >= 50)
                return {
                    {u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60) INSERT "
                     "INTO ROUTE (SCR_Number, From_User, Route_Note) SELECT %1, 'admin', %2 || '.' || i "
                     "FROM n"_s.arg(t, q(m))}};
            return {
                {u"INSERT INTO ROUTE (SCR_Number, From_User, To_User, Route_Date, Route_Note) VALUES (%1, "
                 "'admin', %2, CAST(x'c3ff' AS TEXT), %3)"_s.arg(t, q(u), q(m))}};
        case 21:
            if (how < 70)
                return {
                    {update(u"ROUTE SET Route_Note="_s + q(m), nth(u"ROUTE"_s, u"Route_Number"_s, offset))}};
            return {{u"DELETE FROM ROUTE WHERE "_s + nth(u"ROUTE"_s, u"Route_Number"_s, offset)}, true};
        case 22: // categories and priorities added, deleted while in use, renamed
        {
            const bool categories = how % 10 < 7;
            const QString table = categories ? u"LU_Category"_s : u"LU_Priority"_s;
            const QString column = categories ? u"Category"_s : u"Priority"_s;
            const QString value = categories ? c : p;
            const QString other = categories ? c2 : p2;
            if (how < 40)
                return {{u"INSERT INTO %1 (%2) VALUES (%3)"_s.arg(table, column, q(value))}};
            if (how < 80)
                return {{u"DELETE FROM %1 WHERE %2=%3"_s.arg(table, column, q(value))}, true};
            return {{u"UPDATE %1 SET %2=%3 WHERE %2=%4"_s.arg(table, column, q(other), q(value))}, true};
        }
        case 23:
        case 24: // tools
            if (how < 25)
                return {{u"INSERT INTO TOOL (Tool_Name, Tool_EXE) VALUES (%1, %2)"_s.arg(q(name), q(m))}};
            if (how < 50)
                return {{u"DELETE FROM TOOL WHERE Tool_Name="_s + q(name)}, true};
            return {{update(u"TOOL SET Tool_EXE="_s + q(m), u"Tool_Name="_s + q(name))}};
        case 25: // the table without a key; its first row always stays
        {
            const QString value = QString::number(systemBase + m.mid(1).toLongLong());
            const QString row =
                u"rowid=(SELECT rowid FROM \"SYSTEM\" ORDER BY rowid LIMIT 1 OFFSET %1)"_s.arg(offset % 3);
            if (how < 35)
                return {{u"INSERT INTO \"SYSTEM\" (MAX_STORAGE, Chunk_Size) VALUES (%1, 2000)"_s.arg(value)}};
            if (how < 70)
                return {{update(u"\"SYSTEM\" SET MAX_STORAGE="_s + value, row)}};
            return {{u"DELETE FROM \"SYSTEM\" WHERE %1 AND rowid<>(SELECT min(rowid) FROM \"SYSTEM\")"_s.arg(
                        row)},
                    true};
        }
        case 26:
        case 27: // one unique code given to two badges on two members
            return {{update(u"BADGE SET Code=%1, Holder=%2"_s.arg(q(code1), q(m)), u"Badge_ID="_s + badge)}};
        case 28: // two badges swap their codes
            return {{update(u"BADGE SET Code=NULL, Holder="_s + q(m), u"Badge_ID=1"_s),
                     update(u"BADGE SET Code=%1, Holder=%2"_s.arg(q(code1), q(m2)), u"Badge_ID=2"_s),
                     update(u"BADGE SET Code="_s + q(code2), u"Badge_ID=1"_s)}};
        default: // a badge added or deleted
            if (how < 60)
                return {{u"INSERT INTO BADGE (Badge_ID, Code, Holder) VALUES (%1, %2, %3)"_s.arg(
                    badge, q(code1), q(m))}};
            return {{u"DELETE FROM BADGE WHERE Badge_ID="_s + badge}, true};
        }
    }

    bool write() {
        const Member& member = m_members[pickMember()];
        const Write w = makeWrite();
        const int how = int(m_random.bounded(100));
        const bool shell = how < 35;
        const bool relationshipsOff = how < 25;
        QString error;
        const QMultiHash<QString, QString> before = markersIn(member.path, &error);
        QString outcome;
        if (shell) {
            const QString sql = u"PRAGMA foreign_keys=%1; BEGIN; %2; COMMIT;"_s.arg(
                relationshipsOff ? u"OFF"_s : u"ON"_s, w.statements.join(u"; "_s));
            m_ops << u"sqlite3 -bail %1.mdb \"%2\""_s.arg(member.name, sql);
            const Ran ran = runProgram(u"sqlite3"_s, {u"-bail"_s, member.path, sql});
            if (ran.code != 0)
                outcome = u"refused: "_s + ran.out;
            if (ran.code != 0 && !ran.out.contains(u"constraint failed"_s))
                fail(u"write"_s, u"sqlite3 failed: "_s + ran.out);
        } else {
            m_ops << u"engine %1.mdb: %2"_s.arg(member.name, w.statements.join(u"; "_s));
            try {
                auto db = db::Database::open(member.path);
                db::Transaction tx(*db);
                for (const QString& s : w.statements)
                    db->execute(s);
                tx.commit();
            } catch (const Error& e) {
                // Only the rules of the data may refuse a write; anything else would leave the history
                // without the program's writes.
                outcome = u"refused: "_s + e.text();
                if (e.number() != err::DuplicateKey && e.number() != err::RelatedRecords)
                    fail(u"write"_s, u"the engine failed: "_s + e.text());
            }
        }
        const QMultiHash<QString, QString> after = markersIn(member.path, &error);
        if (!error.isEmpty())
            return fail(u"write"_s, error);
        if (!outcome.isEmpty()) {
            m_ops.last() += u"  # "_s + outcome.section(u'\n', 0, 0);
            return after == before || fail(u"write"_s, u"a refused write changed the data"_s);
        }
        // What the writer saw of the rows it replaced is what left its file; what came is what it wrote.
        for (auto it = before.begin(); it != before.end(); ++it) {
            if (after.contains(it.key()))
                continue;
            m_replaced.insert(it.key());
            if (!w.deletes)
                m_overwritten.insert(it.key(), qsizetype(m_ops.size()));
        }
        for (auto it = after.begin(); it != after.end(); ++it)
            if (!before.contains(it.key()))
                m_written.insert(it.key(), it.value());
        return true;
    }

    // ---- the end

    QList<QByteArray> states() const {
        QList<QByteArray> out;
        for (const Member& m : m_members)
            out << fileState(m.path);
        return out;
    }

    // How a pair meets in the final rounds: some pairs only ever through bundles or the pipe.
    Way wayOf(int a, int b) const { return Way((a * 7 + b * 3 + int(m_seed)) % 3); }

    bool settle() {
        for (int round = 0; round < 8; ++round) {
            const auto before = states();
            for (int a = 0; a < m_members.size(); ++a)
                for (int b = a + 1; b < m_members.size(); ++b) {
                    const Way way = wayOf(a, b);
                    if (way == Way::Bundles) {
                        deliver(a, b, false, true);
                        deliver(b, a, false, true);
                        continue;
                    }
                    const QStringList args{u"sync"_s, m_members[a].file(),
                                           way == Way::Pipe ? remote(b) : m_members[b].file()};
                    m_ops << u"pelldb "_s + args.join(u' ');
                    if (pelldb(args, u"sync"_s)) {
                        sound(a);
                        sound(b);
                    }
                }
            if (states() == before)
                return true;
        }
        return fail(u"settle"_s, u"eight rounds of every pair in mode 4 still changed files"_s);
    }

    // The members as they stand, copied into a folder of their own (each copy is a member of its own then).
    QStringList copyMembers(const QString& name) {
        const QString folder = QDir(m_folder).filePath(name);
        QDir().mkpath(folder);
        QStringList files;
        for (const Member& m : m_members) {
            files << QDir(folder).filePath(m.file());
            if (!QFile::copy(m.path, files.last()))
                fail(u"copy"_s, files.last());
        }
        return files;
    }

    // The same versions brought together another way: one-way exchanges of one to three versions at a time
    // round a ring, until a round changes nothing. The data must end as the other way made it: it depends
    // on the versions alone, never on who met whom, in which direction, order or batch size.
    void ringSettles(const QStringList& files) {
        m_ops << u"# the copies made before the final rounds, round a ring in mode 1"_s;
        const auto statesOf = [&] {
            QList<QByteArray> out;
            for (const QString& f : files)
                out << fileState(f);
            return out;
        };
        bool still = false;
        for (int round = 0; round < 3 * files.size() + 4 && !still; ++round) {
            const auto before = statesOf();
            for (qsizetype i = 0; i < files.size(); ++i)
                pelldb({u"sync"_s, files[i], files[(i + 1) % files.size()], u"--mode"_s, u"1"_s, u"--batch"_s,
                        QString::number(1 + round % 3)},
                       u"ring"_s);
            still = statesOf() == before;
        }
        if (!still)
            fail(u"ring"_s, u"the ring still changed files after its last round"_s);
        QString error;
        const auto settled = dumpOf(m_members[0].path, &error);
        for (const QString& f : files)
            same(settled, dumpOf(f, &error), u"the ring's "_s + QFileInfo(f).fileName(), u"ring"_s);
        if (!error.isEmpty())
            fail(u"dump"_s, error);
    }

    // Whether a dump is m0's; where not, a failure naming the rows only one of them holds.
    bool same(const QMap<QString, QStringList>& first, const QMap<QString, QStringList>& dump,
              const QString& name, const QString& kind) {
        bool agree = true;
        if (dump.keys() != first.keys())
            agree = fail(kind, u"m0 and %1 hold other tables"_s.arg(name));
        for (auto it = first.begin(); it != first.end(); ++it) {
            const QStringList other = dump.value(it.key());
            if (other == it.value())
                continue;
            QStringList only0, onlyM;
            for (const QString& row : it.value())
                if (!other.contains(row))
                    only0 << row;
            for (const QString& row : other)
                if (!it.value().contains(row))
                    onlyM << row;
            agree =
                fail(kind, u"%1 of m0 and %2: only m0 has [%3]; only %2 has [%4]"_s.arg(
                               it.key(), name, only0.mid(0, 4).join(u"; "_s), onlyM.mid(0, 4).join(u"; "_s)));
        }
        return agree;
    }

    void finalChecks() {
        m_ops << u"# the final checks"_s;
        // Every member holds the same data, to the byte.
        QString error;
        const auto first = dumpOf(m_members[0].path, &error);
        bool agree = true;
        for (const Member& m : m_members.mid(1))
            agree &= same(first, dumpOf(m.path, &error), m.name, u"members differ"_s);
        if (!error.isEmpty())
            fail(u"dump"_s, error);

        // An idle round writes nothing, not even a file's time.
        QThread::msleep(20);
        const auto before = states();
        for (int a = 0; a < m_members.size(); ++a)
            for (int b = a + 1; b < m_members.size(); ++b)
                pelldb({u"sync"_s, m_members[a].file(), m_members[b].file()}, u"idle sync"_s);
        const auto after = states();
        for (int i = 0; i < m_members.size(); ++i)
            if (before[i] != after[i])
                fail(u"idle round"_s, m_members[i].name + u" was written"_s);

        // The conflict logs: the same losses on every member, each logged once, and the markers they lost.
        QSet<QString> lost;
        QSet<QString> firstLog;
        for (int i = 0; i < m_members.size(); ++i) {
            Ran ran;
            if (!pelldb({u"conflicts"_s, m_members[i].file(), u"--all"_s, u"--json"_s}, u"conflicts"_s, &ran))
                continue;
            QJsonParseError parse{};
            const QJsonArray list = QJsonDocument::fromJson(ran.out.toUtf8(), &parse).array();
            if (parse.error != QJsonParseError::NoError) {
                fail(u"conflicts"_s, parse.errorString());
                continue;
            }
            QSet<QString> log;
            QHash<QString, int> lostHere;
            for (const QJsonValue& v : list) {
                const QJsonObject c = v.toObject();
                const QJsonObject row = c.value(u"lost"_s).toObject();
                log.insert(c.value(u"table"_s).toString() + u' ' +
                           QString::fromUtf8(
                               QJsonDocument(c.value(u"key"_s).toArray()).toJson(QJsonDocument::Compact)) +
                           u' ' + QString::fromUtf8(QJsonDocument(row).toJson(QJsonDocument::Compact)));
                for (auto it = row.begin(); it != row.end(); ++it) {
                    const QString marker =
                        it.value().isString() && markerText.match(it.value().toString()).hasMatch()
                            ? it.value().toString()
                        : it.key() == u"MAX_STORAGE"_s && qint64(it.value().toDouble()) > systemBase
                            ? u"w"_s + QString::number(qint64(it.value().toDouble()) - systemBase)
                            : QString();
                    if (!marker.isEmpty()) {
                        lost.insert(marker);
                        ++lostHere[marker];
                    }
                }
            }
            for (auto it = lostHere.begin(); it != lostHere.end(); ++it)
                if (it.value() > 1)
                    fail(u"conflict log"_s,
                         u"%1 logs the loss of %2 %3 times"_s.arg(m_members[i].name, it.key())
                             .arg(it.value()));
            if (i == 0)
                firstLog = log;
            else if (log != firstLog)
                fail(u"conflict log"_s,
                     u"m0 and %1 log different losses: only m0 [%2]; only %1 [%3]"_s.arg(
                         m_members[i].name, QStringList((firstLog - log).values()).join(u"; "_s),
                         QStringList((log - firstLog).values()).join(u"; "_s)));
        }

        // Every version written stands as it was written, was replaced by a writer that had seen it, or is
        // in the conflict log; none that a later change replaced after seeing it stands. (Members that
        // differ already failed: what one of them holds tells nothing more.)
        const QMultiHash<QString, QString> standing =
            agree ? markersIn(m_members[0].path, &error) : QMultiHash<QString, QString>();
        QStringList vanished, wrong, revived;
        for (auto it = m_written.begin(); agree && it != m_written.end(); ++it) {
            const QString& m = it.key();
            if (standing.contains(m)) {
                if (standing.values(m) != QStringList{it.value()})
                    wrong << u"%1 written as {%2} stands as {%3}"_s.arg(m, it.value(),
                                                                        standing.values(m).join(u"} {"_s));
                if (m_overwritten.contains(m))
                    revived << u"%1 (changed at step %2)"_s.arg(m).arg(m_overwritten.value(m));
            } else if (!m_replaced.contains(m) && !lost.contains(m)) {
                vanished << m + u" {"_s + it.value() + u'}';
            }
        }
        if (!vanished.isEmpty())
            fail(u"lost without a trace"_s, vanished.join(u"; "_s));
        if (!wrong.isEmpty())
            fail(u"content"_s, wrong.join(u"; "_s));
        if (!revived.isEmpty())
            fail(u"causality"_s,
                 u"replaced by a writer that had seen them, yet standing: "_s + revived.join(u", "_s));
        if (m_written.isEmpty())
            fail(u"history"_s, u"no write took effect"_s);

        // No debris: journals, half-made replicas, compaction's leftovers.
        static const QRegularExpression allowed(u"^m\\d\\.(mdb|ldb)$|^program/(_temp\\.mdb|_temp\\.ldb)$"_s);
        const QDir folder(m_folder);
        for (const QString& under : {QString(), u"program"_s})
            for (const QFileInfo& file :
                 QDir(folder.filePath(under)).entryInfoList(QDir::Files | QDir::Hidden))
                if (!allowed.match(folder.relativeFilePath(file.filePath())).hasMatch())
                    fail(u"debris"_s, folder.relativeFilePath(file.filePath()));
    }

    quint32 m_seed;
    QRandomGenerator m_random;
    QString m_folder;
    QList<Member> m_members;
    QStringList m_ops;
    const qsizetype m_stopAfter = qEnvironmentVariableIntValue("PELL_STOP");
    QStringList m_failures;
    std::vector<std::pair<QString, int>> m_kinds;
    int m_counter = 0;
    // Members "behind SSH": the real pipe and pelldb serve, without the network.
    const LocalTunnel m_tunnel{QDir(m_folder).filePath(u"carried"_s), pelldbProgram()};
    const QString m_ssh = m_tunnel.script();
    int m_bundles = 0;
    QHash<int, QStringList> m_carried; // bundles made for each member, for late and repeated arrivals
    // Marker -> the row as its writer's file held it.
    QMultiHash<QString, QString> m_written;
    // Markers a writer replaced or deleted, having seen them.
    QSet<QString> m_replaced;
    // Markers a writer changed (not deleted), having seen them -> the step of that change.
    QHash<QString, qsizetype> m_overwritten;
};

} // namespace

class TestReplicationRandom : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void randomHistoriesConverge_data() {
        QTest::addColumn<quint32>("seed");
        const QString one = qEnvironmentVariable("PELL_SEED");
        if (!one.isEmpty()) {
            QTest::newRow(qPrintable(u"seed "_s + one)) << one.toUInt();
            return;
        }
        const int count = qEnvironmentVariable("PELL_SEEDS", QString::number(PELL_RANDOM_SEEDS)).toInt();
        for (int seed = 1; seed <= count; ++seed)
            QTest::newRow(qPrintable(u"seed %1"_s.arg(seed))) << quint32(seed);
        if (count <= 0)
            QTest::newRow("no seeds") << quint32(0);
    }

    void randomHistoriesConverge() {
        QFETCH(quint32, seed);
        if (seed == 0)
            QSKIP("no seeds: PELL_SEEDS=N runs seeds 1..N, PELL_SEED=N one of them");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        History history(seed, dir.path());
        const bool ok = history.run();
        if (qEnvironmentVariableIntValue("PELL_KEEP")) {
            dir.setAutoRemove(false);
            qInfo("kept %s", qPrintable(dir.path()));
        }
        if (!ok) // whole, as the test's message is cut short
            std::fputs(qPrintable(history.report()), stderr);
        QVERIFY2(ok, qPrintable(u"seed %1: "_s.arg(seed) + history.summary()));
    }
};

QTEST_GUILESS_MAIN(TestReplicationRandom)
#include "tst_replication_random.moc"

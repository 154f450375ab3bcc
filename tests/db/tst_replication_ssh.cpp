// Members that share no file system: exchanges over SSH to an sshd of the test's own (a real OpenSSH server
// on a free port of 127.0.0.1, with keys made for the run), and bundles carried by hand. Everything runs as
// an administrator would run it: pelldb on both sides, ssh between them, changes written by another program
// (the C API and the sqlite3 shell). The cases that need sshd are skipped, saying why, where it is missing.
#include "replication_fixture.h"
#include "support/db_dump.h"
#include "support/private_sshd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QtTest>
#include <sqlite3.h>

#include <csignal>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pell;
using namespace pell::test;

namespace {

// pelldb with the environment a run over SSH is given.
Ran pelldbWith(const QStringList& args, const QList<std::pair<QString, QString>>& env = {}) {
    return runToEnd(pelldbPath(), args, env, 300000);
}

QString describe(const Ran& r) {
    return u"exit %1\n%2%3"_s.arg(r.code).arg(r.out, r.err);
}

// Refused as pelldb refuses: status 1, one `error NNNN: ` line on standard error, naming `where`.
bool refused(const Ran& r, int number, const QString& where) {
    return r.code == 1 && r.err.startsWith(u"error %1: "_s.arg(number)) && r.err.count(u'\n') == 1 &&
           r.err.contains(where);
}

// A master made by pelldb from the sample data and one replica of it, in `dir`.
std::pair<QString, QString> memberPair(const QTemporaryDir& dir, const QString& prefix = {}) {
    const QString master = dir.filePath(prefix + u"m.mdb"_s), replica = dir.filePath(prefix + u"r.mdb"_s);
    for (const QStringList& args : {QStringList{u"init"_s, master, u"--sample"_s},
                                    QStringList{u"make-master"_s, master, u"--no-list"_s},
                                    QStringList{u"make-replica"_s, master, replica, u"--no-list"_s}}) {
        const Ran r = pelldbWith(args);
        if (r.code != 0)
            qFatal("pelldb %s: %s", qPrintable(args.join(u' ')), qPrintable(r.err));
    }
    return {master, replica};
}

QString users(const QString& path) {
    return str(path,
               u"SELECT group_concat(r, char(10)) FROM (SELECT User_ID||'|'||ifnull(User_Name,'')||'|'||"
               "ifnull(Supervisor_User_ID,'')||'|'||Full_Access AS r FROM \"USER\" ORDER BY 1)"_s);
}

qint64 replicaId(const QString& path) {
    return num(path, u"SELECT replica_id FROM _pell_replica"_s);
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool writeScript(const QString& path, const QString& text) {
    return writeBytes(path, text.toUtf8()) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadOther | QFile::ExeOther);
}

bool listening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(port));
    const bool answered = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return answered;
}

} // namespace

class TestReplicationSsh : public QObject {
    Q_OBJECT

    std::unique_ptr<PrivateSshd> sshd;

    // The environment of a run through the private sshd: its ssh command (with `key` instead of the
    // authorized one when given), and the far side's pelldb.
    QList<std::pair<QString, QString>> overSsh(const QString& key = {}, const QString& remote = {}) const {
        return {{u"PELL_SSH"_s, sshd->sshCommand(key)},
                {u"PELL_REMOTE_PELLDB"_s, remote.isEmpty() ? pelldbPath() : remote}};
    }
    Ran syncOver(const QString& local, const QString& remotePath, const QStringList& more = {},
                 const QString& key = {}, const QString& remote = {}) const {
        return pelldbWith(QStringList{u"sync"_s, local, sshd->location(remotePath)} + more,
                          overSsh(key, remote));
    }

private Q_SLOTS:
    void initTestCase() { sshd = std::make_unique<PrivateSshd>(); }
    // A case that failed half-way leaves no forced command behind for the next one.
    void init() {
        if (sshd->available())
            QVERIFY(sshd->authorize());
    }
    void cleanupTestCase() {
        // The server goes with its object: nothing listens on its port any more.
        const int port = sshd->available() ? sshd->port() : 0;
        sshd.reset();
        if (port > 0)
            QVERIFY2(!listening(port), qPrintable(QString::number(port)));
    }

    void exchangesOverSshBothWaysThenIdle() {
        if (!sshd->available())
            QSKIP(qPrintable(u"no private sshd: "_s + sshd->whyNot()));
        QTemporaryDir dir;
        const auto [master, replica] = memberPair(dir);
        execRaw(master,
                u"UPDATE \"USER\" SET User_Name='by master' WHERE User_ID='dev1'; INSERT INTO \"USER\" "
                "(User_ID, User_Name, Supervisor_User_ID) VALUES ('fromm', 'new on master', 'admin')"_s);
        QCOMPARE(shell(replica, u"UPDATE \"USER\" SET User_Name='by replica' WHERE User_ID='clerk1'; DELETE "
                                "FROM LU_Category WHERE Category='Question'"_s),
                 0);

        // One way at a time first: mode 1 moves the local member's changes to the far one, mode 2 the far
        // one's back, and neither the other way.
        Ran r = syncOver(master, replica, {u"--mode"_s, u"1"_s});
        QVERIFY2(r.code == 0 && r.out.contains(u"exported: 2 versions received, 2 applied, 0 conflicts"_s),
                 qPrintable(describe(r)));
        QCOMPARE(nameOf(replica, u"dev1"_s), u"by master"_s);
        QVERIFY(nameOf(master, u"clerk1"_s) != u"by replica"_s);
        r = syncOver(master, replica, {u"--mode"_s, u"2"_s});
        QVERIFY2(r.code == 0, qPrintable(describe(r)));
        QCOMPARE(nameOf(master, u"clerk1"_s), u"by replica"_s);

        execRaw(master, u"UPDATE \"USER\" SET User_Name='again by master' WHERE User_ID='dev2'"_s);
        QCOMPARE(shell(replica, u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES "
                                "('fromr', 'new on replica', 'admin')"_s),
                 0);
        r = syncOver(master, replica);
        QVERIFY2(r.code == 0 &&
                     r.out.contains(u"synchronized "_s + master + u" with "_s + sshd->location(replica)),
                 qPrintable(describe(r)));
        for (const QString& path : {master, replica}) {
            QCOMPARE(nameOf(path, u"dev1"_s), u"by master"_s);
            QCOMPARE(nameOf(path, u"dev2"_s), u"again by master"_s);
            QCOMPARE(nameOf(path, u"clerk1"_s), u"by replica"_s);
            QCOMPARE(nameOf(path, u"fromm"_s), u"new on master"_s);
            QCOMPARE(nameOf(path, u"fromr"_s), u"new on replica"_s);
            QCOMPARE(num(path, u"SELECT count(*) FROM LU_Category WHERE Category='Question'"_s), 0);
            QVERIFY2(sound(path), qPrintable(path));
        }
        QCOMPARE(dumpData(master), dumpData(replica));

        // Nothing new: the next exchange writes nothing into either file.
        const auto hashes = fileHashes({master, replica});
        r = syncOver(master, replica);
        QVERIFY2(r.code == 0 && r.out.contains(u"0 versions received"_s), qPrintable(describe(r)));
        QCOMPARE(fileHashes({master, replica}), hashes);
    }

    void refusalsNameHostAndPathAndChangeNothing() {
        QTemporaryDir dir;
        const auto [master, replica] = memberPair(dir);
        // Malformed locations are refused before any ssh starts.
        for (const QString& bad :
             {u"ssh://127.0.0.1:99999/x.mdb"_s, u"ssh://127.0.0.1"_s, u"ssh://-oProxy=x/a"_s})
            QVERIFY2(refused(pelldbWith({u"sync"_s, master, bad}), err::InvalidRemote, bad), qPrintable(bad));
        if (!sshd->available())
            QSKIP(qPrintable(u"no private sshd: "_s + sshd->whyNot()));
        execRaw(master, u"UPDATE \"USER\" SET User_Name='pending' WHERE User_ID='dev1'"_s);
        execRaw(replica, u"UPDATE \"USER\" SET User_Name='pending' WHERE User_ID='dev2'"_s);
        // No refusal writes into the far member.
        const QByteArray before = fileBytes(replica);
        const QString at = sshd->location(replica);
        const auto refusedHere = [&](const Ran& r, int number, const QString& where) {
            if (!refused(r, number, where))
                return describe(r);
            return fileBytes(replica) == before ? QString() : u"the far member changed"_s;
        };

        const QString closed =
            u"ssh://%1@127.0.0.1:%2%3"_s.arg(sshd->user()).arg(PrivateSshd::unusedPort()).arg(replica);
        QString why =
            refusedHere(pelldbWith({u"sync"_s, master, closed}, overSsh()), err::RemoteUnreachable, closed);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        why = refusedHere(syncOver(master, replica, {}, sshd->newKey(u"stranger"_s)), err::RemoteLoginRefused,
                          at);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        // A host whose key is not the one known for it is refused like a login.
        QString unknownHost = sshd->sshCommand();
        unknownHost.replace(sshd->folder() + u"/known_hosts"_s, u"/dev/null"_s);
        QVERIFY(unknownHost != sshd->sshCommand());
        const Ran hostRefused = pelldbWith(
            {u"sync"_s, master, at}, {{u"PELL_SSH"_s, unknownHost}, {u"PELL_REMOTE_PELLDB"_s, pelldbPath()}});
        why = refusedHere(hostRefused, err::RemoteLoginRefused, at);
        QVERIFY2(why.isEmpty() && hostRefused.err.contains(u"Host key verification failed"_s),
                 qPrintable(why + hostRefused.err));
        why =
            refusedHere(syncOver(master, replica, {}, {}, u"/nonexistent/pelldb"_s), err::RemoteProgram, at);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        // The far side's pelldb of another format: it speaks, but not our exchange.
        const QString older = dir.filePath(u"older-pelldb"_s);
        QVERIFY(writeScript(older, u"#!/bin/sh\nprintf 'PELLXCH\\n\\0\\0\\0\\143'; cat >/dev/null\n"_s));
        why = refusedHere(syncOver(master, replica, {}, {}, older), err::RemoteProgram, at);
        QVERIFY2(why.isEmpty(), qPrintable(why));

        // A key forced to serve one database serves that one and no other.
        QVERIFY(sshd->authorize(shellQuoted(pelldbPath()) + u" serve "_s + shellQuoted(replica)));
        const QString other = dir.filePath(u"other.mdb"_s);
        QVERIFY(QFile::copy(replica, other));
        const Ran asked = syncOver(master, other);
        why = refusedHere(asked, err::InvalidOperation, sshd->location(other));
        QVERIFY2(why.isEmpty() && asked.err.contains(u"This account serves %1, not %2"_s.arg(replica, other)),
                 qPrintable(why + asked.err));
        Ran r = syncOver(master, replica);
        QVERIFY2(r.code == 0, qPrintable(describe(r)));
        QCOMPARE(nameOf(replica, u"dev1"_s), u"pending"_s);
        QCOMPARE(nameOf(master, u"dev2"_s), u"pending"_s);
        QVERIFY(sshd->authorize());

        // The far member's own refusals keep the engine's numbers and name the location.
        const QByteArray now = fileBytes(replica);
        {
            Holder exclusive(replica, true);
            r = syncOver(master, replica);
            QVERIFY2(refused(r, err::OpenedExclusively, at), qPrintable(describe(r)));
        }
        const QString plain = dir.filePath(u"plain.mdb"_s);
        QCOMPARE(pelldbWith({u"init"_s, plain, u"--sample"_s}).code, 0);
        r = syncOver(master, plain);
        QVERIFY2(refused(r, err::NotAReplica, sshd->location(plain)), qPrintable(describe(r)));
        const auto [strangerMaster, stranger] = memberPair(dir, u"stranger-"_s);
        r = syncOver(master, stranger);
        QVERIFY2(refused(r, err::DifferentReplicaSet, sshd->location(stranger)), qPrintable(describe(r)));
        QCOMPARE(fileBytes(replica), now);

        if (!canSwitchUsers())
            QSKIP("needs root and setpriv for an account that may read the member but not write it");
        // The account the key logs into may read the member but not write it: the far side cannot even
        // turn its pending changes into versions, in any mode, and says so as a local exchange would.
        const OtherUser account{46311, 46310, {}};
        const QString folder = dir.filePath(u"readonly"_s);
        QVERIFY(QDir().mkdir(folder));
        const QString readOnly = folder + u"/member.mdb"_s;
        QCOMPARE(pelldbWith({u"make-replica"_s, master, readOnly, u"--no-list"_s}).code, 0);
        execRaw(readOnly, u"UPDATE \"USER\" SET User_Name='unsettled' WHERE User_ID='intern'"_s);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
        QCOMPARE(::chmod(QFile::encodeName(readOnly).constData(), 0644), 0);
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        QString localOut, localErr;
        const QString copyForLocal = folder + u"/writable-master.mdb"_s;
        QVERIFY(QFile::copy(master, copyForLocal));
        QCOMPARE(::chmod(QFile::encodeName(copyForLocal).constData(), 0666), 0);
        const int local = runPelldbAs(account, {u"sync"_s, copyForLocal, readOnly}, &localOut, &localErr);
        QVERIFY2(local == 1 && localErr.startsWith(u"error "_s), qPrintable(localErr));
        const int number = localErr.section(u' ', 1, 1).chopped(1).toInt();
        QCOMPARE(number, err::ReadOnly);
        QStringList forced;
        for (const QString& word : pelldbAs(account) + QStringList{u"serve"_s, readOnly})
            forced << shellQuoted(word);
        QVERIFY(sshd->authorize(forced.join(u' ')));
        const QByteArray untouched = fileBytes(readOnly);
        for (const QString& mode : {u"1"_s, u"2"_s, u"4"_s}) {
            r = syncOver(master, readOnly, {u"--mode"_s, mode});
            QVERIFY2(refused(r, number, sshd->location(readOnly)) && r.err.contains(readOnly),
                     qPrintable(describe(r)));
        }
        QCOMPARE(fileBytes(readOnly), untouched);
        QVERIFY(nameOf(master, u"intern"_s) != u"unsettled"_s);
    }

    void cutConnectionLeavesBothWholeAndTheNextExchangeFinishes() {
        if (!sshd->available())
            QSKIP(qPrintable(u"no private sshd: "_s + sshd->whyNot()));
        QTemporaryDir dir;
        const auto [master, replica] = memberPair(dir);
        const QString table = u"\"USER\" (User_ID, User_Name, Supervisor_User_ID)"_s;
        execRaw(master, fillSql(table, 20000, u"'m'||i, 'name m'||i, 'admin'"_s));
        execRaw(replica, fillSql(table, 20000, u"'r'||i, 'name r'||i, 'admin'"_s));
        QCOMPARE(shell(replica, u"UPDATE \"USER\" SET User_Name='edited far' WHERE User_ID='dev'"_s), 0);
        // The far side's pelldb leaves its process id behind, to be killed as a machine that goes down.
        const QString pidFile = dir.filePath(u"serve.pid"_s), remote = dir.filePath(u"remote-pelldb"_s);
        QVERIFY(writeScript(remote, u"#!/bin/sh\necho $$ >%1\nexec %2 \"$@\"\n"_s.arg(
                                        shellQuoted(pidFile), shellQuoted(pelldbPath()))));
        const auto whole = [&] {
            for (const QString& path : {master, replica})
                if (!sound(path) || !divergent(path).isEmpty())
                    return false;
            return true;
        };
        const QString at = sshd->location(replica);

        // The tunnel cut after so many bytes: the far side's answer (while the replica's rows stream in),
        // then what goes to it (after the master took in those rows, while its own stream out). dd passes on
        // what it reads at once, where head would hold the far side's first words back in its buffer.
        const QString cut = u"dd bs=65536 count=100000 iflag=count_bytes status=none"_s;
        for (const QString& pipeline : QStringList{u"%1 \"$@\" | "_s + cut, cut + u" | %1 \"$@\""_s}) {
            const QString cutter = dir.filePath(u"cutter"_s);
            QVERIFY(writeScript(cutter, u"#!/bin/sh\n"_s + pipeline.arg(sshd->sshCommand()) + u'\n'));
            const Ran r = pelldbWith({u"sync"_s, master, at}, {{u"PELL_SSH"_s, shellQuoted(cutter)},
                                                               {u"PELL_REMOTE_PELLDB"_s, remote}});
            QVERIFY2(refused(r, err::ConnectionCut, at), qPrintable(pipeline + u": "_s + describe(r)));
            QVERIFY2(whole(), qPrintable(pipeline));
        }
        QCOMPARE(num(master, u"SELECT count(*) FROM \"USER\" WHERE User_ID GLOB 'r[0-9]*'"_s), 20000);
        QCOMPARE(num(replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID GLOB 'm[0-9]*'"_s), 0);

        // The far side killed while it applies the master's rows, in small transactions.
        QFile::remove(pidFile);
        QProcess exchange;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : overSsh({}, remote))
            env.insert(name, value);
        exchange.setProcessEnvironment(env);
        exchange.start(pelldbPath(), {u"sync"_s, master, at, u"--batch"_s, u"20"_s});
        QVERIFY(exchange.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        qint64 arrived = 0;
        while (exchange.state() != QProcess::NotRunning && clock.elapsed() < 120000 && arrived == 0) {
            QThread::msleep(5);
            // A look while the far side commits may find the file busy beyond the wait (a slow disk): no
            // answer yet, so look again.
            try {
                arrived = num(replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID GLOB 'm[0-9]*'"_s);
            } catch (const Error& e) {
                if (e.number() != SQLITE_BUSY)
                    throw;
            }
        }
        const pid_t far = pid_t(fileBytes(pidFile).trimmed().toInt());
        QVERIFY2(arrived > 0 && arrived < 20000 && far > 0, qPrintable(QString::number(arrived)));
        QCOMPARE(::kill(far, SIGKILL), 0);
        QVERIFY(exchange.waitForFinished(120000));
        const Ran killed{exchange.exitCode(), QString::fromLocal8Bit(exchange.readAllStandardOutput()),
                         QString::fromLocal8Bit(exchange.readAllStandardError())};
        QVERIFY2(refused(killed, err::ConnectionCut, at), qPrintable(describe(killed)));
        QVERIFY(whole());
        const qint64 kept = num(replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID GLOB 'm[0-9]*'"_s);
        QVERIFY2(kept >= arrived && kept < 20000, qPrintable(QString::number(kept)));

        // The next exchange finishes the work.
        const Ran r = syncOver(master, replica);
        QVERIFY2(r.code == 0, qPrintable(describe(r)));
        QVERIFY(whole());
        QCOMPARE(users(master), users(replica));
        QCOMPARE(num(replica, u"SELECT count(*) FROM \"USER\" WHERE User_ID GLOB '[mr][0-9]*'"_s), 40000);
        QCOMPARE(nameOf(master, u"dev"_s), u"edited far"_s);
        QCOMPARE(dumpData(master), dumpData(replica));
    }

    void bundlesApplyOnceInAnyOrderAndRefuseWhatIsNotTheirs() {
        QTemporaryDir dir;
        const auto [master, replica] = memberPair(dir);
        const auto file = [&](const QString& name) { return dir.filePath(name); };
        const auto run = [](const QStringList& args) {
            const Ran r = pelldbWith(args);
            if (r.code != 0)
                QTest::qFail(qPrintable(args.join(u' ') + u": "_s + describe(r)), __FILE__, __LINE__);
            return r.code == 0;
        };
        execRaw(replica, u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('carried', "
                         "'first', 'admin')"_s);
        QVERIFY(run({u"export"_s, replica, file(u"b1"_s), u"--for"_s, master}));
        // Counted as a local exchange counts it: one version, received once.
        const Ran first = pelldbWith({u"import"_s, master, file(u"b1"_s)});
        QVERIFY2(first.code == 0 &&
                     first.out.contains(u"imported: 1 versions received, 1 applied, 0 conflicts"_s),
                 qPrintable(describe(first)));
        QCOMPARE(nameOf(master, u"carried"_s), u"first"_s);
        QByteArray held = fileBytes(master);
        QVERIFY(run({u"import"_s, master, file(u"b1"_s)}));
        QCOMPARE(fileBytes(master), held);

        // A second bundle, for the partner named by its replica id; refused whole when damaged, foreign or
        // too new, with nothing written.
        // A leader added with a member under it and renamed afterwards: the member comes first in the bundle,
        // and the receiver asks the bundle for its leader ahead of the stream.
        QCOMPARE(shell(replica,
                       u"UPDATE \"USER\" SET User_Name='second' WHERE User_ID='carried'; INSERT INTO "
                       "\"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('later', 'x', "
                       "'carried'), ('lead', 'x', 'admin'), ('led', 'x', 'lead'); UPDATE \"USER\" SET "
                       "User_Name='lead renamed' WHERE User_ID='lead'"_s),
                 0);
        QVERIFY(run({u"export"_s, replica, file(u"b2"_s), u"--for"_s, QString::number(replicaId(master))}));
        const QByteArray b2 = fileBytes(file(u"b2"_s));
        QByteArray flipped = b2, tooNew = b2;
        flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x10);
        tooNew.replace(8, 4, QByteArray("\0\0\0\x63", 4));
        QVERIFY(writeBytes(file(u"flipped"_s), flipped) && writeBytes(file(u"too-new"_s), tooNew));
        const QString second = file(u"r2.mdb"_s);
        QVERIFY(run({u"make-replica"_s, master, second, u"--no-list"_s}));
        QVERIFY(run({u"export"_s, replica, file(u"for-r2"_s), u"--for"_s, second}));
        const auto [strangerMaster, stranger] = memberPair(dir, u"stranger-"_s);
        QVERIFY(run({u"export"_s, stranger, file(u"other-set"_s), u"--for"_s, strangerMaster}));
        held = fileBytes(master);
        for (const auto& [name, number] : {std::pair{u"flipped"_s, err::BundleDamaged},
                                           {u"too-new"_s, err::BundleTooNew},
                                           {u"for-r2"_s, err::BundleForeign},
                                           {u"other-set"_s, err::BundleForeign}}) {
            const Ran r = pelldbWith({u"import"_s, master, file(name)});
            QVERIFY2(refused(r, number, file(name)), qPrintable(name + u": "_s + describe(r)));
            QCOMPARE(fileBytes(master), held);
        }

        // A third bundle made after the second (for the partner's path: it holds both bundles' changes),
        // imported before it; then the second one late, the third and the first again: nothing goes back
        // to an older value and nothing more is written.
        QCOMPARE(shell(replica, u"UPDATE \"USER\" SET User_Name='third' WHERE User_ID='carried'"_s), 0);
        QVERIFY(run({u"export"_s, replica, file(u"b3"_s), u"--for"_s, master}));
        QVERIFY(run({u"import"_s, master, file(u"b3"_s)}));
        QCOMPARE(nameOf(master, u"carried"_s), u"third"_s);
        QCOMPARE(str(master,
                     u"SELECT group_concat(User_ID||':'||Supervisor_User_ID, ' ') FROM \"USER\" WHERE "
                     "User_ID IN ('later', 'led')"_s),
                 u"later:carried led:lead"_s);
        QCOMPARE(nameOf(master, u"lead"_s), u"lead renamed"_s);
        QCOMPARE(num(master, u"SELECT count(*) FROM _pell_conflicts"_s), 0);
        held = fileBytes(master);
        for (const QString& name : {u"b2"_s, u"b3"_s, u"b1"_s}) {
            QVERIFY(run({u"import"_s, master, file(name)}));
            QVERIFY2(fileBytes(master) == held, qPrintable(name));
        }
        QCOMPARE(nameOf(master, u"carried"_s), u"third"_s);

        // A change on each side, then a bundle each way: the members are equal and sound.
        execRaw(master, u"UPDATE \"USER\" SET User_Name='by master' WHERE User_ID='dev1'"_s);
        QCOMPARE(
            shell(replica, u"DELETE FROM LU_Priority WHERE rowid = (SELECT max(rowid) FROM LU_Priority)"_s),
            0);
        QVERIFY(run({u"export"_s, master, file(u"back"_s), u"--for"_s, replica}));
        QVERIFY(run({u"import"_s, replica, file(u"back"_s)}));
        // The answer carries the replica's change and nothing of the master's: members that hear of each
        // other's reading one bundle late are not taken for members put back.
        const Ran forth = pelldbWith({u"export"_s, replica, file(u"forth"_s), u"--for"_s, master});
        QVERIFY2(forth.code == 0 && forth.out.startsWith(u"exported 1 versions"_s),
                 qPrintable(describe(forth)));
        QVERIFY(run({u"import"_s, master, file(u"forth"_s)}));
        QCOMPARE(users(master), users(replica));
        QCOMPARE(dumpData(master), dumpData(replica));
        for (const QString& path : {master, replica})
            QVERIFY2(sound(path), qPrintable(path));
    }

private:
    static QString shellQuoted(const QString& word) {
        QString quoted = word;
        quoted.replace(u'\'', u"'\\''"_s);
        return u'\'' + quoted + u'\'';
    }
};

QTEST_GUILESS_MAIN(TestReplicationSsh)
#include "tst_replication_ssh.moc"

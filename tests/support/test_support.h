#pragma once

#include "core/app_state.h"
#include "core/error.h"
#include "support/scripted_platform.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <utility>

class QProcess;

namespace pell::test {

using namespace Qt::StringLiterals;

// A program folder in a temporary directory with its own state and scripted platform.
struct Fixture {
    Fixture();
    QTemporaryDir dir;
    AppState state;
    ScriptedPlatform platform;
    AppContext ctx{state, platform};

    QString path(const QString& name) const { return dir.filePath(name); }
    // Creates the shared database (sample data unless told otherwise) and points DATABASE_PATH at it.
    QString makeSharedDb(const QString& name = u"pell.mdb"_s, bool sample = true);
    // Creates the replica-administration database and points REPLICADB_PATH at it.
    QString makeReplicaDb(const QString& name = u"replica.mdb"_s);
};

// A program run to its end: its exit code (-1 when it crashed, was killed or did not end in time) and what it
// wrote.
struct Ran {
    int code = -1;
    QString out;
    QString err;
    QString all() const { return out + err; }
};
Ran runToEnd(const QString& program, const QStringList& args,
             const QList<std::pair<QString, QString>>& env = {}, int timeoutMs = 120000);

// Runs pelldb from the build's program folder; returns its exit code, output in out/err.
int runPelldb(const QStringList& args, QString* out = nullptr, QString* err = nullptr);
QString pelldbPath();

// Another user of this machine, for multi-user tests: real user and group ids (no account needed), with
// the supplementary groups given. Processes run as such a user through setpriv, which needs root.
struct OtherUser {
    unsigned uid = 0;
    unsigned gid = 0;
    QList<unsigned> groups;
};
// Whether this test may run processes as other users (root, and setpriv present).
bool canSwitchUsers();
// The command line that runs pelldb as that user.
QStringList pelldbAs(const OtherUser& user);
int runPelldbAs(const OtherUser& user, const QStringList& args, QString* out = nullptr,
                QString* err = nullptr);
// Runs a shell script as that user (as this process when user is null), with pelldb's path as $0 and args
// as $1...: for what a shell sets up around pelldb (a creation mask, a limit).
int runShellAs(const OtherUser* user, const QString& script, const QStringList& args, QString* out = nullptr,
               QString* err = nullptr);
// Makes a folder one that the members of a group share: theirs, writable by them, and passing its group on
// to the files made in it.
void shareFolder(const QString& folder, unsigned gid);

// A pelldb hold process that keeps a database open until it is stopped (as another user when given).
class Holder {
public:
    Holder(const QString& path, bool exclusive, const OtherUser* as = nullptr);
    ~Holder();
    void release();

private:
    std::unique_ptr<QProcess> m_process;
};

// Members "behind SSH" on this machine: a stand-in for ssh, written into `folder`, drops ssh's words and runs
// the remote command here (its pid in script() + ".pid", for a kill), and PELL_SSH and PELL_REMOTE_PELLDB
// lead ssh:// locations to it and to `pelldb`, for as long as it lives. The pipe and `pelldb serve` are the
// real ones.
class LocalTunnel {
public:
    explicit LocalTunnel(const QString& folder, const QString& pelldb = pelldbPath());
    ~LocalTunnel();
    LocalTunnel(const LocalTunnel&) = delete;
    LocalTunnel& operator=(const LocalTunnel&) = delete;
    const QString& script() const { return m_script; }
    // The ssh:// location of a database on this machine.
    static QString location(const QString& path) { return u"ssh://here"_s + path; }

private:
    QString m_script;
};

// Runs SQL on a database file as another program would (plain SQLite, no lock file).
void execRaw(const QString& path, const QString& sql);
QVariant scalarRaw(const QString& path, const QString& sql);
inline qint64 num(const QString& path, const QString& sql) {
    return scalarRaw(path, sql).toLongLong();
}
inline QString str(const QString& path, const QString& sql) {
    return scalarRaw(path, sql).toString();
}

// The number of the error a call raises, 0 when it raises none.
template <class F> int errorOf(F&& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}
// The text of that error, to compare with what a window showed.
template <class F> QString errorText(F&& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.text();
    }
    return u"<no error>"_s;
}

} // namespace pell::test

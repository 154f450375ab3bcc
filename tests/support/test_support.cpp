#include "support/test_support.h"

#include "core/error.h"
#include "db/database.h"
#include "db/schema.h"
#include "support/sample_data.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <QtTest>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pell::test {

Fixture::Fixture() {
    state.programFolder = dir.path();
    state.helpFile = state.inProgramFolder(u"pell.hlp"_s);
}

QString Fixture::makeSharedDb(const QString& name, bool sample) {
    const QString file = path(name);
    {
        auto db = db::Database::create(file);
        db::createSharedSchema(*db);
        sample::SampleOptions options;
        options.sample = sample;
        sample::fillSharedDatabase(*db, options);
    }
    state.DATABASE_PATH = file;
    return file;
}

QString Fixture::makeReplicaDb(const QString& name) {
    const QString file = path(name);
    {
        auto db = db::Database::create(file);
        db::createReplicaAdminSchema(*db);
    }
    state.REPLICADB_PATH = file;
    return file;
}

QString pelldbPath() {
    return QStringLiteral(PELL_BIN_DIR "/pelldb");
}

Ran runToEnd(const QString& program, const QStringList& args, const QList<std::pair<QString, QString>>& env,
             int timeoutMs) {
    QProcess p;
    if (!env.isEmpty()) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : env)
            e.insert(name, value);
        p.setProcessEnvironment(e);
    }
    p.start(program, args);
    p.closeWriteChannel();
    Ran ran;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ran.err = u"(%1 did not end within %2 s)"_s.arg(program).arg(timeoutMs / 1000);
        return ran;
    }
    ran.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    ran.err = QString::fromLocal8Bit(p.readAllStandardError());
    ran.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return ran;
}

namespace {
// A run's exit code, its output in out/err where asked for.
int told(const Ran& ran, QString* out, QString* err) {
    if (out)
        *out = ran.out;
    if (err)
        *err = ran.err;
    return ran.code;
}
} // namespace

int runPelldb(const QStringList& args, QString* out, QString* err) {
    return told(runToEnd(pelldbPath(), args), out, err);
}

bool canSwitchUsers() {
    return ::geteuid() == 0 && !QStandardPaths::findExecutable(u"setpriv"_s).isEmpty();
}

QStringList pelldbAs(const OtherUser& user) {
    QStringList groups;
    for (unsigned g : user.groups)
        groups << QString::number(g);
    QStringList command{u"setpriv"_s, u"--reuid=%1"_s.arg(user.uid), u"--regid=%1"_s.arg(user.gid)};
    command << (groups.isEmpty() ? u"--clear-groups"_s : u"--groups="_s + groups.join(u','));
    command << u"--"_s << pelldbPath();
    return command;
}

int runPelldbAs(const OtherUser& user, const QStringList& args, QString* out, QString* err) {
    QStringList command = pelldbAs(user);
    const QString program = command.takeFirst();
    return told(runToEnd(program, command + args), out, err);
}

int runShellAs(const OtherUser* user, const QString& script, const QStringList& args, QString* out,
               QString* err) {
    QStringList command = user ? pelldbAs(*user) : QStringList{pelldbPath()};
    command.removeLast(); // pelldb itself becomes the script's $0
    command << u"sh"_s << u"-c"_s << script << pelldbPath() << args;
    const QString program = command.takeFirst();
    return told(runToEnd(program, command), out, err);
}

void shareFolder(const QString& folder, unsigned gid) {
    const QByteArray name = QFile::encodeName(folder);
    if (::chown(name.constData(), 0, gid) != 0 || ::chmod(name.constData(), 02770) != 0)
        qFatal("cannot share %s", name.constData());
}

Holder::Holder(const QString& path, bool exclusive, const OtherUser* as)
    : m_process(std::make_unique<QProcess>()) {
    QStringList args{u"hold"_s, path};
    if (exclusive)
        args << u"--exclusive"_s;
    QStringList command = as ? pelldbAs(*as) : QStringList{pelldbPath()};
    const QString program = command.takeFirst();
    m_process->start(program, command + args);
    // Wait until it says it holds the file.
    while (m_process->state() != QProcess::NotRunning && !m_process->canReadLine())
        m_process->waitForReadyRead(100);
    const QByteArray line = m_process->readLine();
    if (!line.startsWith("holding"))
        qFatal("pelldb hold failed: %s", m_process->readAllStandardError().constData());
}

Holder::~Holder() {
    release();
}

void Holder::release() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(10000))
            m_process->kill();
        m_process->waitForFinished(1000);
    }
}

void execRaw(const QString& path, const QString& sql) {
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK)
        qFatal("cannot open %s", qPrintable(path));
    sqlite3_busy_timeout(raw, 5000);
    char* message = nullptr;
    const int rc = sqlite3_exec(raw, sql.toUtf8().constData(), nullptr, nullptr, &message);
    const QString text = QString::fromUtf8(message ? message : "");
    sqlite3_free(message);
    sqlite3_close(raw);
    if (rc != SQLITE_OK)
        throw Error(rc, text);
}

QVariant scalarRaw(const QString& path, const QString& sql) {
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(raw);
        throw Error(err::CannotOpen, u"cannot open %1 to ask: %2"_s.arg(path, sql));
    }
    sqlite3_busy_timeout(raw, 5000);
    QVariant result;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(raw, sql.toUtf8().constData(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        switch (sqlite3_column_type(stmt, 0)) {
        case SQLITE_INTEGER:
            result = qlonglong(sqlite3_column_int64(stmt, 0));
            break;
        case SQLITE_FLOAT:
            result = sqlite3_column_double(stmt, 0);
            break;
        case SQLITE_NULL:
            break;
        default:
            result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        }
    }
    // A query that fails (busy, a missing table, damage) is no answer: a check built on it must fail, not
    // compare an empty value.
    const QString message = QString::fromUtf8(sqlite3_errmsg(raw));
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw Error(rc, u"%1: %2 (asked: %3)"_s.arg(path, message, sql));
    return result;
}

LocalTunnel::LocalTunnel(const QString& folder, const QString& pelldb)
    : m_script(QDir(folder).filePath(u"ssh-here"_s)) {
    QDir().mkpath(folder);
    QFile script(m_script);
    if (!script.open(QIODevice::WriteOnly) ||
        script.write("#!/bin/sh\n# ssh's options and the host, then the remote command: run it here\n"
                     "while [ $# -gt 1 ]; do case \"$1\" in -p|-o|-e|-l|-i) shift 2;; -*) shift;; *) shift; "
                     "break;; esac; done\necho $$ > \"$0.pid\"\neval \"exec $1\"\n") < 0)
        qFatal("cannot write %s", qPrintable(m_script));
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PELL_SSH", QFile::encodeName(m_script));
    qputenv("PELL_REMOTE_PELLDB", QFile::encodeName(pelldb));
}

LocalTunnel::~LocalTunnel() {
    qunsetenv("PELL_SSH");
    qunsetenv("PELL_REMOTE_PELLDB");
}

} // namespace pell::test

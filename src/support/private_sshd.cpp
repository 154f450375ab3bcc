#include "support/private_sshd.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pell {

namespace {

const char* const Sshd = "/usr/sbin/sshd";

// One word for /bin/sh, whatever it holds.
QString shellWord(const QString& word) {
    QString quoted = word;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

// Runs a helper program to its end; its standard error in `said` when it fails.
bool runQuietly(const QString& program, const QStringList& args, QString* said) {
    QProcess p;
    p.start(program, args);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        *said = program + QStringLiteral(" did not end within 30 seconds");
        return false;
    }
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *said = program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
    return false;
}

QByteArray readAll(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& file, const QByteArray& bytes) {
    QSaveFile f(file);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
}

} // namespace

int PrivateSshd::unusedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // the kernel's choice
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(s);
    return port;
}

PrivateSshd::PrivateSshd() {
    if (const passwd* me = ::getpwuid(::geteuid()))
        m_user = QString::fromLocal8Bit(me->pw_name);
    m_ssh = QStandardPaths::findExecutable(QStringLiteral("ssh"));
    const QString keygen = QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"));
    if (!QFileInfo(QString::fromLatin1(Sshd)).isExecutable()) {
        m_whyNot = QStringLiteral("no sshd at %1 (the package openssh-server)").arg(QLatin1String(Sshd));
        return;
    }
    if (m_ssh.isEmpty() || keygen.isEmpty()) {
        m_whyNot = QStringLiteral("no ssh or ssh-keygen on the PATH (the package openssh-client)");
        return;
    }
    if (m_user.isEmpty()) {
        m_whyNot = QStringLiteral("this process's user id %1 has no account").arg(::geteuid());
        return;
    }
    if (!m_dir.isValid()) {
        m_whyNot = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return;
    }
    // sshd refuses to start without its privilege separation folder, which only a running system service
    // would have made.
    if (::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
        m_whyNot = QStringLiteral("/run/sshd cannot be made: ") + QString::fromLocal8Bit(strerror(errno));
        return;
    }
    m_userKey = m_dir.filePath(QStringLiteral("user_key"));
    QString said;
    if (!runQuietly(keygen,
                    {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                     QStringLiteral("-N"), QString(), QStringLiteral("-C"), QStringLiteral("pell-test-host"),
                     QStringLiteral("-f"), m_dir.filePath(QStringLiteral("host_key"))},
                    &said) ||
        !makeKey(m_userKey)) {
        m_whyNot = said.isEmpty() ? QStringLiteral("ssh-keygen failed") : said;
        return;
    }
    if (!authorize()) {
        m_whyNot = QStringLiteral("authorized_keys cannot be written in ") + m_dir.path();
        return;
    }
    // The port is free when chosen but may be taken before sshd binds it (other tests run beside this
    // one): another is tried then.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        bool taken = false;
        started = startOn(unusedPort(), &taken);
        if (!started && !taken) {
            m_whyNot = QStringLiteral("sshd did not start: ") + logTail();
            return;
        }
    }
    if (!started) {
        m_whyNot = QStringLiteral("sshd found no free port: ") + logTail();
        return;
    }
    const QByteArray hostKey = readAll(m_dir.filePath(QStringLiteral("host_key.pub"))).trimmed();
    if (!writeAll(m_dir.filePath(QStringLiteral("known_hosts")),
                  QStringLiteral("[127.0.0.1]:%1 ").arg(m_port).toLatin1() + hostKey + '\n')) {
        m_whyNot = QStringLiteral("known_hosts cannot be written in ") + m_dir.path();
        stop();
        return;
    }
    // A login that the account's state refuses (a locked account, a shell that is no shell) shows here,
    // not as a failure of the first test that uses the server.
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), sshCommand() + QStringLiteral(" \"$@\""), QStringLiteral("probe"),
                 QStringLiteral("-o"), QStringLiteral("BatchMode=yes"), QStringLiteral("-p"),
                 QString::number(m_port), m_user + QStringLiteral("@127.0.0.1"),
                 QStringLiteral("echo logged in")});
    probe.closeWriteChannel();
    const bool answered = probe.waitForFinished(30000);
    const QString answer = QString::fromLocal8Bit(probe.readAll()).trimmed();
    if (!answered || probe.exitCode() != 0 || answer != QLatin1String("logged in")) {
        if (!answered) {
            probe.kill();
            probe.waitForFinished();
        }
        m_whyNot = QStringLiteral("a login by key to the private sshd failed: ") + answer +
                   QStringLiteral(" / ") + logTail();
        stop();
    }
}

PrivateSshd::~PrivateSshd() {
    stop();
}

bool PrivateSshd::makeKey(const QString& file) {
    const QString keygen = QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"));
    QString said;
    return runQuietly(keygen,
                      {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                       QStringLiteral("-N"), QString(), QStringLiteral("-C"), QFileInfo(file).fileName(),
                       QStringLiteral("-f"), file},
                      &said);
}

bool PrivateSshd::startOn(int port, bool* portTaken) {
    *portTaken = false;
    if (port <= 0)
        return false;
    const QString log = m_dir.filePath(QStringLiteral("sshd.log"));
    QFile::remove(log);
    const QString config =
        QStringLiteral("Port %1\n"
                       "ListenAddress 127.0.0.1\n"
                       "HostKey %2\n"
                       "PidFile %3\n"
                       "AuthorizedKeysFile %4\n"
                       "StrictModes no\n"
                       "UsePAM no\n"
                       "PasswordAuthentication no\n"
                       "KbdInteractiveAuthentication no\n"
                       "PubkeyAuthentication yes\n"
                       "PermitRootLogin prohibit-password\n"
                       "AllowUsers %5\n"
                       "PrintMotd no\n"
                       "PrintLastLog no\n"
                       "UseDNS no\n"
                       "X11Forwarding no\n"
                       "AllowTcpForwarding no\n"
                       "MaxStartups 100\n")
            .arg(port)
            .arg(m_dir.filePath(QStringLiteral("host_key")), m_dir.filePath(QStringLiteral("sshd.pid")),
                 m_dir.filePath(QStringLiteral("authorized_keys")), m_user);
    if (!writeAll(m_dir.filePath(QStringLiteral("sshd_config")), config.toUtf8()))
        return false;
    m_sshd = std::make_unique<QProcess>();
    m_sshd->setProgram(QString::fromLatin1(Sshd));
    m_sshd->setArguments({QStringLiteral("-D"), QStringLiteral("-e"), QStringLiteral("-f"),
                          m_dir.filePath(QStringLiteral("sshd_config"))});
    // Its log goes to a file: a pipe that nobody reads while a test runs would stop it once full.
    m_sshd->setStandardInputFile(QProcess::nullDevice());
    m_sshd->setStandardOutputFile(QProcess::nullDevice());
    m_sshd->setStandardErrorFile(log);
    // A test that crashes takes its server with it, and leaves no port taken.
    m_sshd->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_sshd->start();
    if (!m_sshd->waitForStarted(10000)) {
        m_sshd.reset();
        return false;
    }
    const QByteArray listening =
        QStringLiteral("Server listening on 127.0.0.1 port %1.").arg(port).toLatin1();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        if (readAll(log).contains(listening)) {
            m_port = port;
            return true;
        }
        if (m_sshd->waitForFinished(20)) {
            *portTaken = readAll(log).contains("Address already in use");
            m_sshd.reset();
            return false;
        }
    }
    stop();
    return false;
}

QString PrivateSshd::logTail() const {
    const QList<QByteArray> lines = readAll(m_dir.filePath(QStringLiteral("sshd.log"))).trimmed().split('\n');
    return QString::fromLocal8Bit(lines.mid(qMax(0, int(lines.size()) - 3)).join(" / "));
}

void PrivateSshd::stop() {
    if (!m_sshd)
        return;
    if (m_sshd->state() != QProcess::NotRunning) {
        m_sshd->terminate();
        if (!m_sshd->waitForFinished(10000)) {
            m_sshd->kill();
            m_sshd->waitForFinished(10000);
        }
    }
    m_sshd.reset();
}

QString PrivateSshd::location(const QString& path) const {
    return QStringLiteral("ssh://%1@127.0.0.1:%2%3").arg(m_user).arg(m_port).arg(path);
}

QString PrivateSshd::sshCommand(const QString& key) const {
    // -F /dev/null: the machine's and the account's ssh configuration play no part.
    return QStringList{shellWord(m_ssh), QStringLiteral("-F /dev/null -i"),
                       shellWord(key.isEmpty() ? m_userKey : key),
                       QStringLiteral("-o IdentitiesOnly=yes -o UserKnownHostsFile=") +
                           shellWord(m_dir.filePath(QStringLiteral("known_hosts"))),
                       QStringLiteral("-o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes "
                                      "-o ConnectTimeout=20")}
        .join(u' ');
}

QString PrivateSshd::newKey(const QString& name) {
    const QString file = m_dir.filePath(name);
    return makeKey(file) ? file : QString();
}

bool PrivateSshd::authorize(const QString& forcedCommand) {
    QByteArray line = readAll(m_userKey + QStringLiteral(".pub")).trimmed();
    if (line.isEmpty())
        return false;
    if (!forcedCommand.isEmpty()) {
        QString command = forcedCommand;
        command.replace(u'"', QStringLiteral("\\\"")); // sshd reads \" as a quote, and nothing else
        line = QStringLiteral("restrict,command=\"%1\" ").arg(command).toUtf8() + line;
    }
    return writeAll(m_dir.filePath(QStringLiteral("authorized_keys")), line + '\n');
}

} // namespace pell

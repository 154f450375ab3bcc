#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

namespace pell {

// An OpenSSH server of the tests' and benchmarks' own, for exchanges over SSH as a site would run them: the
// system's sshd started on a free port of 127.0.0.1 with a configuration, a host key, a user key, an
// authorized_keys and a known_hosts in a temporary folder, so that nothing of the machine's own SSH set-up
// is read or changed. The account that logs in is the one running this process. The server is stopped, and
// waited for, when the object goes; it also ends when this process dies (the kernel tells it).
class PrivateSshd {
public:
    // Starts the server and checks that a login by key works; see available().
    PrivateSshd();
    ~PrivateSshd();
    PrivateSshd(const PrivateSshd&) = delete;
    PrivateSshd& operator=(const PrivateSshd&) = delete;

    // Whether the server runs and lets the user key in; when not, whyNot() says why (for a skip message).
    bool available() const { return m_whyNot.isEmpty(); }
    const QString& whyNot() const { return m_whyNot; }

    int port() const { return m_port; }
    const QString& user() const { return m_user; }
    QString folder() const { return m_dir.path(); }
    // ssh://USER@127.0.0.1:PORT/PATH for an absolute path on this machine.
    QString location(const QString& path) const;

    // The ssh command line to put in PELL_SSH: this server's known_hosts, strict host checking, and the
    // user key alone (or the private key `key`), with no other configuration of the machine's.
    QString sshCommand(const QString& key = {}) const;
    const QString& userKey() const { return m_userKey; }
    // A new key pair that no authorized_keys line names: the path of its private half.
    QString newKey(const QString& name);
    // Makes the user key's line the only one in authorized_keys; with a forced command, that command is all
    // the key may run (the way a site restricts the nightly job's key), with nothing else allowed.
    // False when the file cannot be written.
    bool authorize(const QString& forcedCommand = {});

    // A port of 127.0.0.1 that nothing listened on a moment ago.
    static int unusedPort();

private:
    bool makeKey(const QString& file);
    bool startOn(int port, bool* portTaken);
    QString logTail() const;
    void stop();

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_sshd;
    QString m_whyNot;
    QString m_user;
    QString m_ssh;
    QString m_userKey;
    int m_port = 0;
};

} // namespace pell

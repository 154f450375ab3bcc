#pragma once

#include <QString>

namespace pell::db {

// The users of a shared database file. Every open connection holds a lock on a lock file beside the
// database (name.ldb) for its whole life: shared for a normal open, exclusive for an exclusive one.
// Open file description locks are used, so two connections in one process count as two users and
// closing one never drops the other's lock.
class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;

    // Throws 3356 when another holds the file exclusively, 3045 when an exclusive lock is asked for while
    // others use it. A lock that cannot be taken or tested is never taken as granted: 3902 when the lock
    // file cannot be made or written, 3901 when the folder does not lock at all, 3903 when the folder is
    // a share whose locks do not reach other computers. Only a read-only open on read-only media goes
    // without a lock: nobody can change that file.
    static FileLock acquire(const QString& databasePath, Mode mode, bool readOnly = false);
    static QString lockPathFor(const QString& databasePath);

    // Allows databases on shares whose locks stay on this computer, for maintenance by one user who
    // knows that nobody else uses the file (pelldb's --single-user).
    static void allowLocalOnlyLocks(bool allow);

    bool held() const { return m_fd >= 0; }
    Mode mode() const { return m_mode; }
    void release();

private:
    int m_fd = -1;
    Mode m_mode = Mode::Shared;
};

// Why the file system holding path cannot be trusted to carry locks between computers, or empty when it
// can (a local disk, or a share with working network locks).
QString unsafeShareReason(const QString& path);
// The same decision from a file system's magic number (statfs), its type as the mount table names it and
// its mount options (mount and super options, comma-separated).
QString unsafeShareReason(long magic, const QString& type, const QString& options);

} // namespace pell::db

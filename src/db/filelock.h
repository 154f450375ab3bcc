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

    // Throws 3356 when another holds the file exclusively, 3045 when an exclusive lock is asked for
    // while others use it. A folder where no lock file can be made (read-only media) is not locked.
    static FileLock acquire(const QString& databasePath, Mode mode);
    static QString lockPathFor(const QString& databasePath);

    bool held() const { return m_fd >= 0; }
    Mode mode() const { return m_mode; }
    void release();

private:
    int m_fd = -1;
    Mode m_mode = Mode::Shared;
};

} // namespace pell::db

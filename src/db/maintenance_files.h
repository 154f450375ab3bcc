#pragma once

#include <QString>

#include <sys/types.h>

namespace pell::db::files {

// The runtime error for a failed file operation: 70 when access is refused, 76 for a missing folder,
// 61 for a full disk, 53 for a missing file, 75 for anything else.
[[noreturn]] void throwErrno(int errnum, const QString& path);

// An open file descriptor, closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes now, reporting the error a delayed write may only show here.
    void close(const QString& path);

private:
    int m_fd = -1;
};

// A new file beside a final path that is removed again unless it was renamed into place. Its name starts
// with a dot and carries the final name, so a leftover is recognisable and never mistaken for a database.
class SiblingTemp {
public:
    explicit SiblingTemp(const QString& finalPath, const QString& purpose);
    ~SiblingTemp();
    SiblingTemp(const SiblingTemp&) = delete;
    SiblingTemp& operator=(const SiblingTemp&) = delete;

    const QString& path() const { return m_path; }
    // Creates the file for writing (it must not exist). The caller closes the descriptor before commit().
    Fd create();
    // Renames the file over the final path (atomically) and makes the rename durable.
    void commit();

private:
    QString m_finalPath;
    QString m_path;
    bool m_done = false;
};

// Identity of a file on disk.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
};
// The identity of the file a path leads to (links followed), or false when there is none.
bool fileId(const QString& path, FileId& id);

// Writes everything, retrying short writes.
void writeAll(int fd, const char* data, qint64 size, const QString& path);
// Copies one open file into another from its start, in the kernel where it can: length bytes, or up to
// the end of the file for a negative length. Neither file's position is used.
void copyContents(int from, int to, const QString& fromPath, const QString& toPath, qint64 length = -1);
// A descriptor this process already holds on the file at path, open for reading; -1 when there is none.
// It stays owned by whoever opened it.
int heldDescriptor(const QString& path);
// Starts writing a file's data to disk without waiting for it (syncFile then waits for the rest).
void startWriteBack(int fd);
// Forces a file's data to disk.
void syncFile(int fd, const QString& path);
// Makes a rename or a new name in the folder durable.
void syncFolderOf(const QString& path);
// Gives a file the permissions (and, where allowed, the owner and group) of another, so that a file put
// in a shared database's place keeps it usable by the same users.
void copyAccess(const QString& model, const QString& path);
// Removes a file; a missing file is not an error.
void removeIfExists(const QString& path);

} // namespace pell::db::files

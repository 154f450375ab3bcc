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

// Operations whose order decides what survives a power cut: a file's data synced, a name put in place, a
// folder synced. Tests record them to prove that no file is renamed into place before its data is on disk.
class OperationLog {
public:
    virtual ~OperationLog() = default;
    virtual void synced(const QString& path) = 0;
    virtual void renamed(const QString& from, const QString& to) = 0;
    virtual void folderSynced(const QString& folder) = 0;
    // A new file exists, already with its final permission bits.
    virtual void created(const QString& path) { Q_UNUSED(path); }
};
// Installs a log (nullptr: none). Not for production use; one at a time.
void setOperationLog(OperationLog* log);

// The writes, syncs and renames that the whole-file operations make themselves (the engine's own go
// through its file layer, where a test wraps them the same way). A test installs a hook that is asked
// before each: a nonzero errno makes the operation fail with it, as a failing device or a full disk would;
// the hook may also end the process there (a power cut). Not for production use; one at a time.
enum class FileOp { Write, Sync, Rename };
using FaultHook = int (*)(FileOp op, const QString& path);
void setFaultHook(FaultHook hook);
// Asks the hook (none: 0, go on).
int injectedFault(FileOp op, const QString& path);

// Creates a new file exclusively, from the first moment with the permission bits of model (never wider) and,
// where the system allows, its group (and, for the administrator, its owner), so that the users who share
// the model share the new file too.
Fd createLike(const QString& model, const QString& path);

// Where a hidden temporary for finalPath lives: ".NAME.PURPOSE-PID-N" beside it. The process id lets a later
// run tell a leftover of a dead process from the work of a living one.
QString hiddenTempPath(const QString& finalPath, const QString& purpose);
// Removes from folder the hidden temporaries of the given purpose (and their journals) whose process is
// gone: no process holds its mark on the file and no process of that id runs here. Returns how many.
int removeStaleTemps(const QString& folder, const QString& purpose);
// Marks a temporary as in use for as long as the descriptor stays open (the mark removeStaleTemps tests;
// it also reaches processes of other computers where the folder's locks do).
void markInUse(int fd);

// Puts a finished temporary in place durably: its data is synced, it is renamed to finalPath (replacing a
// file there, or failing with 3204 when replace is false and one exists), then the folder is synced.
void publishDurably(const QString& temp, const QString& finalPath, bool replace);

// A new hidden file beside a final path that is removed again unless it was put in place.
class SiblingTemp {
public:
    // model gives the permission bits and group of the new file; purpose names it (see hiddenTempPath).
    SiblingTemp(const QString& finalPath, const QString& purpose, QString model);
    ~SiblingTemp();
    SiblingTemp(const SiblingTemp&) = delete;
    SiblingTemp& operator=(const SiblingTemp&) = delete;

    const QString& path() const { return m_path; }
    // Creates the file (it must not exist) and marks it in use; returns a descriptor for writing, which the
    // caller closes before commit(). An engine may instead open the empty file by its path.
    Fd create();
    // Puts the file in place durably (publishDurably).
    void commit(bool replace = true);

private:
    QString m_finalPath;
    QString m_model;
    QString m_path;
    Fd m_mark;
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
// Forces a file's data to disk.
void syncFile(int fd, const QString& path);
// The same for a file by its path.
void syncPath(const QString& path);
// Makes a rename or a new name in the folder durable.
void syncFolderOf(const QString& path);
// Gives the file open at fd (named path, a file this process created) the owner, group and permission bits
// of model (the file it replaces), but never wider permissions than cap has, when cap is given: through the
// descriptor, never by a name that might lead elsewhere by then. Where the owner cannot be handed over
// (only the administrator may), the group and bits are kept and false is returned.
bool copyAccess(const QString& model, int fd, const QString& path, const QString& cap = {});
// Removes a file; a missing file is not an error.
void removeIfExists(const QString& path);

} // namespace pell::db::files

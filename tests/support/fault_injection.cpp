#include "support/fault_injection.h"

#include "db/files/posix_files.h"

#include <QFile>

#include <sqlite3.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace pell::test {

namespace {

FaultPlan plan;
int steps = 0;
int syncs = 0;
bool injected = false;

// What a write or truncation replaced, to be put back when the power goes before the file is synced.
struct Undo {
    sqlite3_int64 offset = 0;
    std::string bytes;
    sqlite3_int64 oldSize = 0;
};
std::map<std::string, std::vector<Undo>> unsynced;

// The disk kept, of each file, the writes since its last sync up to some point, chosen at random (the
// same for the same plan): what reached the platters in order, and nothing after. Writes of different
// files are kept or lost independently, so no order between files is taken for granted that a sync did
// not make.
[[noreturn]] void cutPower(int status = PowerCutStatus) {
    std::uint32_t random = std::uint32_t(plan.at) * 2654435761u + 1;
    for (auto& [path, undos] : unsynced) {
        random = random * 1664525u + 1013904223u;
        const size_t kept = size_t(random >> 8) % (undos.size() + 1);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue; // deleted since: its name is gone either way
        for (auto it = undos.rbegin(); it != undos.rend() - std::ptrdiff_t(kept); ++it) {
            if (!it->bytes.empty() &&
                ::pwrite(fd, it->bytes.data(), it->bytes.size(), off_t(it->offset)) < 0) {
            }
            if (::ftruncate(fd, off_t(it->oldSize)) != 0) {
            }
        }
        ::close(fd);
    }
    ::_exit(status);
}

// One step: 0 to go on, else the errno it fails with. A power cut never returns.
int step(bool isSync, const std::string& path) {
    ++steps;
    if (isSync)
        ++syncs;
    if (plan.kind == FaultPlan::Kind::Fail && steps == plan.at) {
        injected = true;
        return plan.errnum;
    }
    if (plan.kind == FaultPlan::Kind::PowerCut && isSync && syncs == plan.at) {
        injected = true;
        cutPower();
    }
    if (isSync)
        unsynced.erase(path);
    return 0;
}

int sqliteCode(int errnum, int ioCode) {
    return errnum == ENOSPC ? SQLITE_FULL : ioCode;
}

// The engine's files, wrapped.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
    std::string* path;
};

sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs shimVfs;
sqlite3_io_methods shimMethods;

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<ShimFile*>(f)->real;
}
const std::string& pathOf(sqlite3_file* f) {
    return *reinterpret_cast<ShimFile*>(f)->path;
}

int shimClose(sqlite3_file* f) {
    auto* shim = reinterpret_cast<ShimFile*>(f);
    const int rc = shim->real->pMethods->xClose(shim->real);
    delete shim->path;
    shim->path = nullptr;
    return rc;
}
int shimRead(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    return real(f)->pMethods->xRead(real(f), buffer, amount, offset);
}
int shimWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    if (const int e = step(false, pathOf(f)))
        return sqliteCode(e, SQLITE_IOERR_WRITE);
    if (!pathOf(f).empty()) {
        Undo undo;
        undo.offset = offset;
        real(f)->pMethods->xFileSize(real(f), &undo.oldSize);
        const sqlite3_int64 kept =
            std::min<sqlite3_int64>(amount, std::max<sqlite3_int64>(0, undo.oldSize - offset));
        if (kept > 0) {
            undo.bytes.resize(size_t(kept));
            real(f)->pMethods->xRead(real(f), undo.bytes.data(), int(kept), offset);
        }
        unsynced[pathOf(f)].push_back(std::move(undo));
    }
    return real(f)->pMethods->xWrite(real(f), data, amount, offset);
}
int shimTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (const int e = step(false, pathOf(f)))
        return sqliteCode(e, SQLITE_IOERR_TRUNCATE);
    if (!pathOf(f).empty()) {
        Undo undo;
        real(f)->pMethods->xFileSize(real(f), &undo.oldSize);
        undo.offset = size;
        if (undo.oldSize > size) {
            undo.bytes.resize(size_t(undo.oldSize - size));
            real(f)->pMethods->xRead(real(f), undo.bytes.data(), int(undo.bytes.size()), size);
        }
        unsynced[pathOf(f)].push_back(std::move(undo));
    }
    return real(f)->pMethods->xTruncate(real(f), size);
}
int shimSync(sqlite3_file* f, int flags) {
    if (const int e = step(true, pathOf(f)))
        return sqliteCode(e, SQLITE_IOERR_FSYNC);
    return real(f)->pMethods->xSync(real(f), flags);
}
int shimFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int shimLock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int shimUnlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int shimCheckReservedLock(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int shimFileControl(sqlite3_file* f, int op, void* arg) {
    // The engine's own handle is what a caller asking for the file pointer works with.
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int shimSectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int shimDeviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int shimShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return real(f)->pMethods->xShmMap(real(f), page, size, extend, out);
}
int shimShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void shimShmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int shimShmUnmap(sqlite3_file* f, int deleteFlag) {
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}
int shimFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    // Pages are read through the wrapped reads, so that no write escapes the count through a map.
    Q_UNUSED(f);
    Q_UNUSED(offset);
    Q_UNUSED(amount);
    *out = nullptr;
    return SQLITE_OK;
}
int shimUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* p) {
    Q_UNUSED(f);
    Q_UNUSED(offset);
    Q_UNUSED(p);
    return SQLITE_OK;
}

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* shim = reinterpret_cast<ShimFile*>(f);
    shim->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + sizeof(ShimFile));
    shim->path = nullptr;
    f->pMethods = nullptr;
    const int rc = realVfs->xOpen(realVfs, name, shim->real, flags, outFlags);
    if (shim->real->pMethods) {
        shim->path = new std::string(name ? name : "");
        f->pMethods = &shimMethods;
    }
    return rc;
}
int shimDelete(sqlite3_vfs*, const char* name, int syncDir) {
    unsynced.erase(name);
    return realVfs->xDelete(realVfs, name, syncDir);
}
int shimAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
}
int shimFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return realVfs->xFullPathname(realVfs, name, size, out);
}

int ownStep(db::files::FileOp op, const QString& path) {
    return step(op == db::files::FileOp::Sync, QFile::encodeName(path).toStdString());
}

} // namespace

void injectFaults(const FaultPlan& newPlan) {
    if (!realVfs) {
        realVfs = sqlite3_vfs_find(nullptr);
        shimVfs = *realVfs;
        shimVfs.szOsFile = int(sizeof(ShimFile)) + realVfs->szOsFile;
        shimVfs.zName = "pell-faults";
        shimVfs.pAppData = nullptr;
        shimVfs.xOpen = shimOpen;
        shimVfs.xDelete = shimDelete;
        shimVfs.xAccess = shimAccess;
        shimVfs.xFullPathname = shimFullPathname;
        shimMethods = sqlite3_io_methods{3,
                                         shimClose,
                                         shimRead,
                                         shimWrite,
                                         shimTruncate,
                                         shimSync,
                                         shimFileSize,
                                         shimLock,
                                         shimUnlock,
                                         shimCheckReservedLock,
                                         shimFileControl,
                                         shimSectorSize,
                                         shimDeviceCharacteristics,
                                         shimShmMap,
                                         shimShmLock,
                                         shimShmBarrier,
                                         shimShmUnmap,
                                         shimFetch,
                                         shimUnfetch};
        sqlite3_vfs_register(&shimVfs, 1);
    }
    plan = newPlan;
    steps = 0;
    syncs = 0;
    injected = false;
    unsynced.clear();
    db::files::setFaultHook(ownStep);
}

int stepsSeen() {
    return steps;
}
int syncsSeen() {
    return syncs;
}
bool faultInjected() {
    return injected;
}

void cutPowerNow() {
    cutPower(PowerCutAfterDoneStatus);
}

} // namespace pell::test

#pragma once

#include <QString>
#include <QStringList>

namespace pell::db {

// Whole-file operations of the engine (DBEngine).
namespace engine {

// Writes a compacted copy of source to destination. The destination must not exist (3204); the source is
// held exclusively while it is read (3045/3356 while others use it).
void compactDatabase(const QString& source, const QString& destination);

// Repairs the file in place.
void repairDatabase(const QString& path);

// Integrity and foreign-key check; returns the problems found (empty: sound).
QStringList checkDatabase(const QString& path);

} // namespace engine
} // namespace pell::db

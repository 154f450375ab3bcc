#pragma once

#include <QString>

namespace pell {

// The folder where the program keeps the files it writes for itself (status.tre, _temp.mdb). One rule, for
// every program: the folder that the program folder's entry "state" leads to, when it leads to a folder;
// otherwise the program folder itself. The package makes /opt/pellwood/state a link to /var/lib/pellwood,
// because /opt/pellwood holds the programs and is root's alone; a build tree (build/bin) has no such entry
// and keeps everything in one folder.
QString stateFolderOf(const QString& programFolder);

} // namespace pell

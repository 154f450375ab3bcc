#pragma once

#include <QPixmap>

// The 32 x 32 pictures of the replication window's four buttons, drawn here rather than shipped as files.
namespace pell::replica_pictures {

inline constexpr int Size = 32;

QPixmap synchronize(); // two blue pages with arrows between them
QPixmap create();      // one blue page
QPixmap remove();      // a blue page crossed out by a red X
QPixmap master();      // a blue letter M

} // namespace pell::replica_pictures

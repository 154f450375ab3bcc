#pragma once

#include <QFont>

namespace pell {

// The windows were laid out in twips for an 8.25-point sans-serif face of narrow metrics; the nearest face
// installed is used, so captions fit the places they were given.
QFont programFont(bool bold = false);

} // namespace pell

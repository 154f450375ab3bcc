#include "platform/program_font.h"

#include <QStringList>

namespace pell {

QFont programFont(bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

} // namespace pell

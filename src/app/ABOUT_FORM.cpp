#include "app/ABOUT_FORM.h"

namespace pell {

ABOUT_FORM::ABOUT_FORM(AppContext& context, QWidget* parent) : PellForm(context, parent, 0) {
    setObjectName(QStringLiteral("ABOUT_FORM"));
    load();
}

} // namespace pell

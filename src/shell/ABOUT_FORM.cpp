#include "shell/ABOUT_FORM.h"

#include "app/center_form.h"
#include "forms/controls.h"
#include "platform/program_font.h"
#include "platform/twips.h"

#include <QLabel>
#include <QPushButton>

namespace pell {

ABOUT_FORM::ABOUT_FORM(AppContext& context, QWidget* parent) : PellForm(context, parent, 0) {
    setObjectName(QStringLiteral("ABOUT_FORM"));
    setWindowTitle(QStringLiteral("About Pellwood"));
    // "MS Sans Serif" where it is installed, and otherwise the face the rest of the program falls back to.
    setFont(programFont(true));
    twips::setClientSize(this, 5385, 2685);

    Label1 = controls::label(this, "Label1", QStringLiteral("Pellwood Version"), 240, 240, 4815, 255);
    Label4 = controls::label(this, "Label4", {}, 2280, 480, 855, 255); // filled in at load
    Command1 = controls::commandButton(this, "Command1", QStringLiteral("OK"), 2040, 2040, 1215, 495);
    connect(Command1, &QPushButton::clicked, this, &ABOUT_FORM::Command1_Click);
}

void ABOUT_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    Label4->setText(Version);
}

void ABOUT_FORM::Command1_Click() {
    unload();
}

} // namespace pell

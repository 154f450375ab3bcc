#include "lookups/LOOKUP_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/error.h"
#include "core/platform.h"
#include "forms/controls.h"
#include "platform/twips.h"
#include "widgets/data_control.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pell {

namespace {
constexpr int HelpContext = 2003;
}

LOOKUP_FORM::LOOKUP_FORM(AppContext& context, QWidget* parent)
    : EditorDialog(context, parent, HelpContext, QStringLiteral("LOOKUP_FORM"),
                   QStringLiteral("Lookup Value"), MaxValueLength) {
    twips::setClientSize(this, 3930, 1305);
    Label2 = controls::label(this, "Label2", QStringLiteral("Value:"), 360, 120, 615, 255);
    twips::place(HOLD_KEY, 1080, 120, 2415, 285);
    twips::place(Command1, 360, 600, 975, 495);
    twips::place(Command2, 2520, 600, 975, 495);
    controls::tabOrder({HOLD_KEY, Command1, Command2});
    refreshAfterLoad(Data1);
}

void LOOKUP_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_LOOKUP_FORM(*Data1, ctx.state);
    Data1->setRecordSource(ctx.state.LOOKUP_TABLE);
    Data1->bind(HOLD_KEY, ctx.state.LOOKUP_FIELD);
}

QString LOOKUP_FORM::storedValue(const QString& typed) {
    // Blanks only, as the old Trim did: other characters are part of the value.
    qsizetype first = 0;
    qsizetype last = typed.size();
    while (first < last && typed.at(first) == u' ')
        ++first;
    while (last > first && typed.at(last - 1) == u' ')
        --last;
    const QString value = typed.mid(first, last - first);
    return value.isEmpty() ? QStringLiteral(" ") : value;
}

bool LOOKUP_FORM::beforeSave() {
    // A value stored elsewhere with blanks around it stays as it is unless the administrator edits it.
    if (Data1->rs().editMode() == db::Recordset::EditMode::AddNew || Data1->dataChanged(HOLD_KEY))
        HOLD_KEY->setText(storedValue(HOLD_KEY->text()));
    return true;
}

void LOOKUP_FORM::saveFailed(const Error& error) {
    if (error.number() == err::DuplicateKey || error.number() == err::ReservedDuplicate) {
        ctx.platform.messageBox(QStringLiteral("Value already exists, Please specify another ID."));
        HOLD_KEY->setFocus();
        return;
    }
    ctx.platform.messageBox(standardText(error.number()));
}

} // namespace pell

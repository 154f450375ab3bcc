#include "tools/TOOL_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/schema.h"
#include "forms/controls.h"
#include "platform/twips.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pell {

namespace {
constexpr int HelpContext = 3;
} // namespace

TOOL_FORM::TOOL_FORM(AppContext& context, QWidget* parent)
    : EditorDialog(context, parent, HelpContext, QStringLiteral("TOOL_FORM"), QStringLiteral("TOOL"),
                   MaxTextLength) {
    using namespace controls;
    twips::setClientSize(this, 6045, 4245);
    Label2 = label(this, "Label2", QStringLiteral("Tool Name"), 360, 240, 975, 255);
    twips::place(HOLD_KEY, 1440, 240, 4455, 285);
    Label1 = label(this, "Label1", QStringLiteral("Tool EXE"), 360, 720, 855, 375);
    // The executable keeps its apostrophes: no key filter here.
    Text1 = textBox(this, "Text1", MaxTextLength, 1440, 720, 4455, 285);

    Frame1 = frame(this, "Frame1", QStringLiteral("Include On"), 240, 1200, 5655, 975);
    Check1 = checkBox(Frame1, "Check1", QStringLiteral("Access Screen"), 120, 360, 2895, 255);
    Check2 = checkBox(Frame1, "Check2", QStringLiteral("Task Screen"), 120, 600, 2895, 255);
    Frame2 = frame(this, "Frame2", QStringLiteral("Passing Parameters"), 240, 2280, 5655, 975);
    Check3 = checkBox(Frame2, "Check3", QStringLiteral("User ID"), 120, 360, 2895, 255);
    Check4 = checkBox(Frame2, "Check4", QStringLiteral("Task Number"), 120, 600, 2895, 255);

    twips::place(Command1, 240, 3600, 1095, 495);
    twips::place(Command2, 4800, 3600, 1095, 495);
    tabOrder({HOLD_KEY, Text1, Check1, Check2, Check3, Check4, Command1, Command2});

    // The record source and the columns are fixed.
    Data1->setRecordSource(db::schema::Tool);
    Data1->bind(HOLD_KEY, db::schema::tool::Name);
    Data1->bind(Text1, db::schema::tool::Exe);
    Data1->bind(Check1, db::schema::tool::AccessScreen);
    Data1->bind(Check2, db::schema::tool::ScrScreen);
    Data1->bind(Check3, db::schema::tool::ParamUserId);
    Data1->bind(Check4, db::schema::tool::ParamScrNumber);
    refreshAfterLoad(Data1);
}

void TOOL_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_TOOL_FORM(*Data1, ctx.state);
}

bool TOOL_FORM::beforeSave() {
    // Texts are taken as typed: a name of blanks counts as given.
    if (HOLD_KEY->text().isEmpty()) {
        ctx.platform.messageBox(QStringLiteral("Please Specify Tool Name"));
        HOLD_KEY->setFocus();
        return false;
    }
    if (Text1->text().isEmpty()) {
        ctx.platform.messageBox(QStringLiteral("Please Specify the Executable Name"));
        Text1->setFocus();
        return false;
    }
    return true;
}

void TOOL_FORM::saveFailed(const Error& error) {
    if (error.number() == err::DuplicateKey || error.number() == err::ReservedDuplicate) {
        ctx.platform.messageBox(QStringLiteral("Tool Name already exists, Please specify another Name."));
        HOLD_KEY->setFocus();
        return;
    }
    ctx.platform.messageBox(QStringLiteral("Unknown Error. Please Exit and restart."));
}

} // namespace pell

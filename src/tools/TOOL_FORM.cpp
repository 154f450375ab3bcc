#include "tools/TOOL_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/error.h"
#include "core/platform.h"
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

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QCheckBox* makeCheck(QWidget* frame, const char* name, const QString& text, int top) {
    auto* box = new QCheckBox(text, frame);
    box->setObjectName(QString::fromLatin1(name));
    twips::place(box, 120, top, 2895, 255);
    return box;
}
} // namespace

TOOL_FORM::TOOL_FORM(AppContext& context, QWidget* parent)
    : EditorDialog(context, parent, HelpContext, QStringLiteral("TOOL_FORM"), QStringLiteral("TOOL"),
                   MaxTextLength) {
    twips::setClientSize(this, 6045, 4245);
    Label2 = makeLabel(this, "Label2", QStringLiteral("Tool Name"));
    twips::place(Label2, 360, 240, 975, 255);
    twips::place(HOLD_KEY, 1440, 240, 4455, 285);
    Label1 = makeLabel(this, "Label1", QStringLiteral("Tool EXE"));
    twips::place(Label1, 360, 720, 855, 375);
    // The executable keeps its apostrophes: no key filter here.
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setMaxLength(MaxTextLength);
    twips::place(Text1, 1440, 720, 4455, 285);

    Frame1 = new QGroupBox(QStringLiteral("Include On"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    twips::place(Frame1, 240, 1200, 5655, 975);
    Check1 = makeCheck(Frame1, "Check1", QStringLiteral("Access Screen"), 360);
    Check2 = makeCheck(Frame1, "Check2", QStringLiteral("Task Screen"), 600);
    Frame2 = new QGroupBox(QStringLiteral("Passing Parameters"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    twips::place(Frame2, 240, 2280, 5655, 975);
    Check3 = makeCheck(Frame2, "Check3", QStringLiteral("User ID"), 360);
    Check4 = makeCheck(Frame2, "Check4", QStringLiteral("Task Number"), 600);

    twips::place(Command1, 240, 3600, 1095, 495);
    twips::place(Command2, 4800, 3600, 1095, 495);

    QWidget* order[] = {HOLD_KEY, Text1, Check1, Check2, Check3, Check4, Command1, Command2};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    // The record source and the columns are fixed.
    Data1->setRecordSource(QStringLiteral("TOOL"));
    Data1->bind(HOLD_KEY, QStringLiteral("Tool_Name"));
    Data1->bind(Text1, QStringLiteral("Tool_EXE"));
    Data1->bind(Check1, QStringLiteral("Tool_Access_Screen"));
    Data1->bind(Check2, QStringLiteral("Tool_SCR_Screen"));
    Data1->bind(Check3, QStringLiteral("Tool_Param_User_ID"));
    Data1->bind(Check4, QStringLiteral("Tool_Param_SCR_Number"));
    refreshAfterLoad(Data1);
    load();
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

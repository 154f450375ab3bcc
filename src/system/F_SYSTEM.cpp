#include "system/F_SYSTEM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/command.h"
#include "core/platform.h"
#include "db/schema.h"
#include "forms/controls.h"
#include "platform/twips.h"
#include "system/purge.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pell {

namespace {
constexpr int HelpContext = 2;

QCheckBox* optionBox(QWidget* parent, const char* name, const QString& text, int top, int width, int height) {
    QCheckBox* box = controls::checkBox(parent, name, text, 120, top, width, height);
    // Nothing stands right of the boxes: a caption wider than its place in this face grows instead of being
    // cut.
    if (box->sizeHint().width() > box->width())
        box->resize(box->sizeHint().width(), box->height());
    return box;
}
} // namespace

F_SYSTEM::F_SYSTEM(AppContext& context, QWidget* parent) : PellForm(context, parent, HelpContext) {
    using namespace controls;
    namespace options = db::schema::options;
    setObjectName(QStringLiteral("F_SYSTEM"));
    setWindowTitle(QStringLiteral("System Options"));
    twips::setClientSize(this, 5895, 5100);

    Label1 =
        label(this, "Label1", QStringLiteral("Auto-Delete Closed Tasks more than "), 120, 240, 3492, 252);
    Text1 = textBox(this, "Text1", 3, 3600, 240, 735, 288);
    Label2 = label(this, "Label2", QStringLiteral("days old."), 4440, 240, 855, 255);
    Label3 =
        label(this, "Label3", QStringLiteral("Memory allocated to attachment copies"), 120, 600, 3372, 252);
    Text2 = textBox(this, "Text2", 5, 3600, 600, 735, 288);
    Label4 = label(this, "Label4", QStringLiteral("(2,000 - 20,000)"), 4440, 600, 1575, 255);

    // The four mandatory-field boxes, a gap, then the two permission boxes.
    Check1 = optionBox(this, "Check1", QStringLiteral("Mandatory Target Date"), 1200, 2415, 375);
    Check4 = optionBox(this, "Check4", QStringLiteral("Mandatory Category"), 1560, 2415, 375);
    Check5 = optionBox(this, "Check5", QStringLiteral("Mandatory Contact"), 1920, 2415, 375);
    Check7 = optionBox(this, "Check7", QStringLiteral("Mandatory Priority"), 2280, 2415, 375);
    Check3 = optionBox(this, "Check3", QStringLiteral("Allow Non-Owner to Edit"), 3000, 2535, 375);
    Check6 =
        optionBox(this, "Check6", QStringLiteral("Allow Attachments to be Edited/Deleted"), 3360, 2655, 495);

    // OK is the default button, which Enter presses unless another button has the focus; there is no
    // cancel button, so Esc does nothing.
    Command1 = commandButton(this, "Command1", QStringLiteral("OK"), 720, 4440, 1215, 495);
    Command1->setDefault(true);
    Command2 = commandButton(this, "Command2", QStringLiteral("Cancel"), 3600, 4440, 1215, 495);
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });

    tabOrder({Text1, Text2, Check1, Check4, Check5, Check7, Check3, Check6, Command1, Command2});
    Text1->installEventFilter(this);
    Text2->installEventFilter(this);

    Data1 = new DataControl(QStringLiteral("Data1"), this);
    Data2 = new DataControl(QStringLiteral("Data2"), this);
    Data3 = new DataControl(QStringLiteral("Data3"), this);
    Data4 = new DataControl(QStringLiteral("Data4"), this);
    Data1->setRecordSource(db::schema::System);
    Data1->bind(Text1, options::MaxStorage);
    Data1->bind(Text2, options::ChunkSize);
    Data1->bind(Check1, options::MandTargetDate);
    Data1->bind(Check4, options::MandCategory);
    Data1->bind(Check5, options::MandContact);
    Data1->bind(Check7, options::MandPriority);
    Data1->bind(Check3, options::AllowUnownedEdit);
    Data1->bind(Check6, options::EditAttachments);
    Data1->onValidate = [this](int action, bool& save) { Data1_Validate(action, save); };
    refreshAfterLoad(Data1);
}

void F_SYSTEM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_F_SYSTEM(*Data1, *Data2, *Data3, *Data4, ctx.state);
}

void F_SYSTEM::Form_Activate() {
    if (!Data1->isOpen())
        return; // opening it failed, and that was reported when the window loaded
    db::Recordset& options = Data1->rs();
    try {
        options.moveFirst();
        options.edit();
    } catch (const Error&) {
        // No options row yet, or the first one cannot be edited now: the window works on a new row.
        options.addNew();
    }
}

bool F_SYSTEM::numberBoxAccepts(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Delete:
        return true; // handled by the window or an editing key
    case Qt::Key_Backspace:
        return false;
    default:
        break;
    }
    const QString text = event.text();
    if (text.isEmpty())
        return true; // arrows, Home, End and the like type nothing
    return text.size() == 1 && text.front() >= u'0' && text.front() <= u'9';
}

bool F_SYSTEM::eventFilter(QObject* watched, QEvent* event) {
    // Text1_KeyPress and Text2_KeyPress: digits only.
    if ((watched == Text1 || watched == Text2) && event->type() == QEvent::KeyPress)
        return !numberBoxAccepts(*static_cast<QKeyEvent*>(event));
    return PellForm::eventFilter(watched, event);
}

double F_SYSTEM::leadingNumber(const QString& text) {
    QString number;
    bool seenPoint = false;
    for (const QChar c : text) {
        if (c == u' ' || c == u'\t')
            continue;
        const bool digit = c >= u'0' && c <= u'9';
        const bool sign = (c == u'-' || c == u'+') && number.isEmpty();
        const bool point = c == u'.' && !seenPoint;
        if (!digit && !sign && !point)
            break;
        seenPoint = seenPoint || point;
        number += c;
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0.0;
}

void F_SYSTEM::Command1_Click() {
    const double chunk = leadingNumber(Text2->text());
    if (chunk > MaxChunkSize || chunk < MinChunkSize) {
        ctx.platform.messageBox(QStringLiteral("Allocated memory must be between 2,000 and 20,000"));
        Text2->setFocus();
        return;
    }
    // A save the engine refuses is reported with its number and text; the window stays open with the
    // edits, and the purge does not run.
    if (!runCommand(ctx.platform, [this] { Data1->updateRecord(); }))
        return;
    PURGE_CLOSED_TASKS();
    unload();
}

void F_SYSTEM::Command2_Click() {
    unload();
}

void F_SYSTEM::Data1_Validate(int action, bool& save) {
    // Closing the window never saves: only OK does.
    if (action == action::Unload)
        save = false;
}

void F_SYSTEM::PURGE_CLOSED_TASKS() {
    // One connection runs all three deletions of a task, so that they can be committed together; Data3
    // and Data4 stay pointed at the database but are not needed for it.
    try {
        Data2->refresh();
        purgeClosedTasks(*Data2->database());
    } catch (const Error&) {
        // Any failure ends the purge without a message; what was committed stays deleted.
    }
    Data2->close();
}

} // namespace pell

#include "lookups/F_LOOKUP.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/schema.h"
#include "forms/controls.h"
#include "lookups/LOOKUP_FORM.h"
#include "widgets/data_control.h"

#include <QPushButton>
#include <QRadioButton>

namespace pell {

namespace {
constexpr int HelpContext = 2003;

ListWindowLayout lookupLayout() {
    ListWindowLayout layout;
    layout.clientWidth = 5670;
    layout.clientHeight = 3300;
    layout.list = QRect(0, 720, 5655, 1815);
    layout.add = QRect(0, 2760, 975, 495);
    layout.modify = QRect(960, 2760, 975, 495);
    layout.remove = QRect(1920, 2760, 975, 495);
    layout.exit = QRect(4560, 2760, 975, 495);
    return layout;
}
} // namespace

F_LOOKUP::F_LOOKUP(AppContext& context, QWidget* parent)
    : ListWindow(context, parent, HelpContext, QStringLiteral("F_LOOKUP"), QStringLiteral("Lookup Tables"),
                 lookupLayout()) {
    Option1 = controls::optionButton(client(), "Option1", QStringLiteral("Category"), 120, 0, 1935, 255);
    Option2 = controls::optionButton(client(), "Option2", QStringLiteral("Priority"), 120, 360, 1935, 255);
    Option1->setChecked(true);
    controls::tabOrder({Command4, Option1, Option2});
    // Selecting an option (by click or by arrow key) switches the table.
    connect(Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            command([this] { Option1_Click(); });
    });
    connect(Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            command([this] { Option2_Click(); });
    });
}

void F_LOOKUP::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_F_LOOKUP(*Data1, ctx.state);
    // The window always opens on "Category".
    Option1_Click();
}

void F_LOOKUP::chooseLookup(const QString& field, const QString& table) {
    ctx.state.LOOKUP_FIELD = field;
    ctx.state.LOOKUP_TABLE = table;
    ctx.state.HOLD_FIELD = ctx.state.LOOKUP_FIELD;
    Data1->setRecordSource(ctx.state.LOOKUP_TABLE);
    LAST_INDEX = -1;
    FILL_LIST();
}

void F_LOOKUP::Option1_Click() {
    chooseLookup(db::schema::lookup::Category, db::schema::Category);
}

void F_LOOKUP::Option2_Click() {
    chooseLookup(db::schema::lookup::Priority, db::schema::Priority);
}

std::unique_ptr<PellForm> F_LOOKUP::makeEditor() {
    return std::make_unique<Loaded<LOOKUP_FORM>>(ctx, this);
}

void F_LOOKUP::deleteFailed(const Error& error) {
    // Tasks still use the value: the window's own words. Any other failure (a database this user cannot
    // write, a row another program refuses to let go) is reported as Add reports it, by the program-wide
    // handler; a Delete that ends without a word would read as done. Either way no refill.
    if (error.number() != err::RelatedRecords)
        throw error;
    ctx.platform.messageBox(QStringLiteral("Unable to delete."));
}

} // namespace pell

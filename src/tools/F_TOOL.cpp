#include "tools/F_TOOL.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/error.h"
#include "db/schema.h"
#include "tools/TOOL_FORM.h"
#include "widgets/data_control.h"

namespace pell {

namespace {
constexpr int HelpContext = 3;

ListWindowLayout toolLayout() {
    ListWindowLayout layout;
    layout.clientWidth = 3840;
    layout.clientHeight = 3255;
    layout.list = QRect(0, 0, 3855, 2595);
    layout.add = QRect(0, 2760, 975, 495);
    layout.modify = QRect(960, 2760, 975, 495);
    layout.remove = QRect(1920, 2760, 975, 495);
    layout.exit = QRect(2880, 2760, 975, 495);
    return layout;
}
} // namespace

F_TOOL::F_TOOL(AppContext& context, QWidget* parent)
    : ListWindow(context, parent, HelpContext, QStringLiteral("F_TOOL"),
                 QStringLiteral("Add-On Tool Administration"), toolLayout()) {}

void F_TOOL::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_F_TOOL(*Data1, ctx.state);
    ctx.state.HOLD_FIELD = db::schema::tool::Name;
    Data1->setRecordSource(db::schema::Tool);
    LAST_INDEX = -1;
    FILL_LIST();
}

std::unique_ptr<PellForm> F_TOOL::makeEditor() {
    return std::make_unique<Loaded<TOOL_FORM>>(ctx, this);
}

void F_TOOL::deleteFailed(const Error& error) {
    // The tool list traps nothing of its own: the program-wide handler reports it and the window stays.
    throw error;
}

} // namespace pell

#include "users/F_USER.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/command.h"
#include "core/platform.h"
#include "users/USER_FORM.h"
#include "users/team_tree.h"
#include "widgets/data_control.h"
#include "widgets/tree_control.h"

#include <QFile>
#include <QScopedValueRollback>

namespace pell {

namespace {
constexpr int HelpContext = 1;
const QString TeamLeaderText = QStringLiteral(
    "This user is currently designated as a Pellwood to other users.  Please restructure teams "
    "(using the TEAMS button) before deleting.  Another solution is to replace, instead of "
    "deleting this user.");
const QString OwnsTasksText = QStringLiteral("Unable to delete.  This user owns tasks");
const QString CannotDeleteAdminText = QStringLiteral("You can not delete the user 'ADMIN'");
const QString UnableToLocateText = QStringLiteral("Unable to locate User");
// Add, Modify and Delete take a node's key up to " :", the move up to " : ".
const QString KeyMarker = QStringLiteral(" :");
const QString MoveKeyMarker = QStringLiteral(" : ");

std::vector<users::UserRow> readUsers(db::Recordset& rs) {
    std::vector<users::UserRow> rows;
    const qsizetype count = rs.recordCount();
    if (count == 0)
        return rows;
    rows.reserve(size_t(count));
    rs.moveFirst();
    while (rs.hasCurrent()) {
        rows.push_back(users::UserRow{rs.field(db::schema::user::Id).toString(),
                                      rs.field(db::schema::user::Name).toString(),
                                      rs.field(db::schema::user::Supervisor)});
        rs.moveNext();
    }
    return rows;
}
} // namespace

namespace {
ListWindowLayout userLayout() {
    ListWindowLayout layout;
    layout.clientWidth = 7605;
    layout.clientHeight = 4590;
    layout.list = QRect(0, 0, 7575, 3855);
    layout.add = QRect(120, 3960, 975, 495);
    layout.modify = QRect(1080, 3960, 975, 495);
    layout.remove = QRect(2040, 3960, 975, 495);
    layout.exit = QRect(6480, 3960, 975, 495);
    return layout;
}
} // namespace

F_USER::F_USER(AppContext& context, QWidget* parent)
    : ListFrame(
          context, parent, HelpContext, QStringLiteral("F_USER"),
          QStringLiteral("Team Builder / User Administrator"), userLayout(),
          [](QWidget* client) -> QWidget* { return new TreeControl(client); }, "FILL") {
    Easytree1 = static_cast<TreeControl*>(chooser());
    Easytree1->setObjectName(QStringLiteral("Easytree1"));
    FILL = separator();
    connect(Easytree1, &TreeControl::Select, this, &F_USER::Easytree1_Select);
    connect(Easytree1, &TreeControl::DropLeaf, this, &F_USER::Easytree1_DropLeaf);
    connect(Easytree1, &TreeControl::TreeError, this, &F_USER::Easytree1_TreeError);
}

F_USER::~F_USER() = default;

void F_USER::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_F_USER(*Data1, ctx.state);
    ctx.state.HOLD_FIELD = db::schema::user::Id;
    // The table as this window has always named it; the engine compares table names without regard to case.
    Data1->setRecordSource(QStringLiteral("User"));
    Data1->refresh();
    BuildTeamTree();
}

void F_USER::Form_Unload() {
    Easytree1->setTreeFile(QString());
}

void F_USER::message(const QString& text) {
    ctx.platform.messageBox(text, Buttons::OkOnly, Icon::None);
}

void F_USER::BuildTeamTree() {
    {
        // Starting afresh: a file that is not there, or that can't be written back, is no concern.
        const QScopedValueRollback<bool> quiet(m_quietTreeErrors, true);
        Easytree1->setTreeFile(QString());
        const QString path = ctx.state.inStateFolder(QStringLiteral("status.tre"));
        QFile::remove(path);
        Easytree1->setTreeFile(path);
    }
    const std::vector<users::UserRow> rows = readUsers(Data1->rs());
    const int root = users::findUserRow(rows, db::schema::user::Admin);
    Easytree1->setCurrentText(users::rootText(root >= 0 ? rows[size_t(root)].name : QString()));
    Easytree1->setNodeMark(1);
    Easytree1->prepareNode();

    // One pass over the table, grouped by supervisor, instead of one search per user.
    const std::vector<users::TreeEntry> order = users::teamTreeOrder(rows, root, db::schema::user::Admin);
    std::vector<int> positions(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const users::TreeEntry& e = order[i];
        const users::UserRow& user = rows[size_t(e.row)];
        Easytree1->setCurrentPosition(e.parent == users::TreeEntry::RootEntry ? 0
                                                                              : positions[size_t(e.parent)]);
        const int position = Easytree1->addChild(users::nodeText(user.id, user.name));
        positions[i] = position;
        Easytree1->setCurrentPosition(position);
        Easytree1->setNodeMark(1);
        Easytree1->prepareNode();
    }
    Easytree1->setCurrentPosition(0);
}

void F_USER::showEditor() {
    Loaded<USER_FORM> editor(ctx, this);
    editor.showModal();
}

void F_USER::Add_Click() {
    ctx.state.HOLD_ACTION = hold::New;
    ctx.state.HOLD_VALUE = users::keyBefore(Easytree1->currentText(), KeyMarker).trimmed();
    showEditor();
    Data1->refresh();
    BuildTeamTree();
}

void F_USER::Modify_Click() {
    if (Easytree1->nodeMark() != 1) {
        ctx.platform.beep();
        return;
    }
    const int remembered = Easytree1->currentPosition();
    ctx.state.HOLD_ACTION = hold::Open;
    ctx.state.HOLD_VALUE = users::keyBefore(Easytree1->currentText(), KeyMarker);
    showEditor();
    Data1->refresh();
    BuildTeamTree();
    if (Easytree1->hasNode(remembered))
        Easytree1->setCurrentPosition(remembered);
}

void F_USER::DELETE_Click() {
    try {
        const QString key = users::keyBefore(Easytree1->currentText(), KeyMarker);
        ctx.state.HOLD_VALUE = key;
        if (key == db::schema::user::Admin) {
            message(CannotDeleteAdminText);
            return;
        }
        Data1->refresh();
        db::Recordset& rs = Data1->rs();
        // A team leader stays until the teams are rearranged, even when its team is not in the tree.
        rs.findFirst(db::Criteria::equals(db::schema::user::Supervisor, key));
        if (!rs.noMatch()) {
            ctx.platform.beep();
            message(TeamLeaderText);
            return;
        }
        if (!areYouSure(ctx.platform, Buttons::OkCancel, DeleteTitle))
            return;
        ctx.state.HOLD_ACTION = hold::Delete;
        Data1->refresh();
        db::Recordset& fresh = Data1->rs();
        fresh.findFirst(db::Criteria::equals(ctx.state.HOLD_FIELD, key));
        if (fresh.noMatch()) {
            // Gone meanwhile: deleting whatever record is current would remove someone else.
            message(UnableToLocateText + key);
            return;
        }
        fresh.deleteCurrent();
        Easytree1->removeCurrentNode();
    } catch (const Error& error) {
        // Task records refer to the user: the window's own words. Any other failure (a database this user
        // cannot write) is reported as Add reports it; either way record and node stay as they were.
        if (error.number() == err::RelatedRecords)
            message(OwnsTasksText);
        else
            reportUnhandled(ctx.platform, error);
    }
}

void F_USER::Easytree1_Select(int) {
    command([this] { Modify_Click(); });
}

void F_USER::Easytree1_DropLeaf(int dragged, int target) {
    command([this, dragged, target] { Move(dragged, target); });
}

void F_USER::Move(int dragged, int target) {
    if (dragged == 0 || dragged == target || !Easytree1->hasNode(dragged) || !Easytree1->hasNode(target)) {
        ctx.platform.beep();
        return;
    }
    Easytree1->setCurrentPosition(dragged);
    const QString movedKey = users::keyBefore(Easytree1->currentText(), MoveKeyMarker);
    Easytree1->setCurrentPosition(target);
    const QString targetKey = users::keyBefore(Easytree1->currentText(), MoveKeyMarker);
    Easytree1->setCurrentPosition(dragged);

    // A user can't join the team of one of its own team members: the records would form a loop.
    db::Recordset& rs = Data1->rs();
    const auto supervisorOf = [&rs](const QString& key) -> std::optional<QString> {
        rs.findFirst(db::Criteria::equals(db::schema::user::Id, key));
        if (rs.noMatch())
            return std::nullopt;
        return rs.field(db::schema::user::Supervisor).toString();
    };
    if (users::closesLoop(movedKey, targetKey, supervisorOf) || !Easytree1->move(dragged, target)) {
        ctx.platform.beep();
        return;
    }

    rs.findFirst(db::Criteria::equals(db::schema::user::Id, movedKey));
    if (rs.noMatch()) {
        message(UnableToLocateText + movedKey);
        return;
    }
    rs.edit();
    rs.setField(db::schema::user::Supervisor, targetKey.isEmpty() ? QVariant() : QVariant(targetKey));
    rs.update();
}

void F_USER::Easytree1_TreeError(int, const QString& text) {
    if (!m_quietTreeErrors)
        message(text);
}

} // namespace pell

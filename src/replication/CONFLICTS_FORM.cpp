#include "replication/CONFLICTS_FORM.h"

#include "app/center_form.h"
#include "core/command.h"
#include "core/platform.h"
#include "db/database.h"
#include "db/schema.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>

namespace pell {

namespace rep = db::replication;

namespace {

constexpr int HelpContext = 35;

enum Column { When, Table, Key, Reason, Member, State, Columns };

QString stateText(const QString& state) {
    if (state == QLatin1String("kept"))
        return QStringLiteral("Kept");
    if (state == QLatin1String("restored"))
        return QStringLiteral("Restored");
    return QStringLiteral("Open");
}

} // namespace

void ConflictListModel::setConflicts(QList<rep::ConflictView> conflicts) {
    beginResetModel();
    m_conflicts = std::move(conflicts);
    endResetModel();
}

const rep::ConflictView* ConflictListModel::at(int row) const {
    return row >= 0 && row < m_conflicts.size() ? &m_conflicts[row] : nullptr;
}

int ConflictListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_conflicts.size());
}

int ConflictListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant ConflictListModel::data(const QModelIndex& index, int role) const {
    const rep::ConflictView* c = at(index.row());
    if (!c || role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case When:
        return c->loggedAt;
    case Table:
        return c->table;
    case Key:
        return c->key;
    case Reason:
        return c->reason;
    case Member:
        return c->member;
    case State:
        return stateText(c->state);
    default:
        return {};
    }
}

QVariant ConflictListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const names[] = {"When (UTC)", "Table", "Key", "Reason", "Logged by", "State"};
    return section >= 0 && section < Columns ? QString::fromLatin1(names[section]) : QVariant();
}

CONFLICTS_FORM::CONFLICTS_FORM(AppContext& context, QWidget* parent)
    : PellForm(context, parent, HelpContext) {
    setObjectName(QStringLiteral("CONFLICTS_FORM"));
    setWindowTitle(QStringLiteral("Conflicts"));

    Check1 = new QCheckBox(QStringLiteral("&Show closed conflicts too"), this);
    Check1->setObjectName(QStringLiteral("Check1"));

    m_model = new ConflictListModel(this);
    List1 = new QTableView(this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setModel(m_model);
    List1->setSelectionBehavior(QAbstractItemView::SelectRows);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List1->setTabKeyNavigation(false);
    List1->verticalHeader()->hide();
    List1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    List1->horizontalHeader()->setStretchLastSection(true);
    List1->setColumnWidth(When, 130);
    List1->setColumnWidth(Table, 70);
    List1->setColumnWidth(Key, 90);
    List1->setColumnWidth(Reason, 260);
    List1->setColumnWidth(Member, 140);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);

    Grid1 = new QTableWidget(0, 3, this);
    Grid1->setObjectName(QStringLiteral("Grid1"));
    Grid1->setHorizontalHeaderLabels(
        {QStringLiteral("Column"), QStringLiteral("Version kept"), QStringLiteral("Version lost")});
    Grid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid1->setTabKeyNavigation(false);
    Grid1->verticalHeader()->hide();
    Grid1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    Grid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);

    Command1 = new QPushButton(QStringLiteral("&Keep"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setToolTip(QStringLiteral("Close the conflict: the version kept stays"));
    Command2 = new QPushButton(QStringLiteral("&Restore the Lost Version"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setToolTip(
        QStringLiteral("Write the lost version again; it wins on every member after the next "
                       "synchronization"));
    Command3 = new QPushButton(QStringLiteral("Close"), this);
    Command3->setObjectName(QStringLiteral("Command3"));
    for (QPushButton* b : {Command1, Command2, Command3})
        b->setAutoDefault(true); // Enter presses the button that has the focus
    setCancelButton(Command3);

    auto* top = new QHBoxLayout;
    auto* heading = new QLabel(QStringLiteral("Con&flicts:"), this);
    heading->setBuddy(List1);
    top->addWidget(heading);
    top->addStretch();
    top->addWidget(Check1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Command1);
    buttons->addWidget(Command2);
    buttons->addStretch();
    buttons->addWidget(Command3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(List1, 3);
    layout->addWidget(Label1);
    layout->addWidget(Grid1, 2);
    layout->addLayout(buttons);
    resize(860, 560);

    setTabOrder(List1, Check1);
    setTabOrder(Check1, Grid1);
    setTabOrder(Grid1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command3);

    connect(Check1, &QCheckBox::toggled, this, [this] { fill(); });
    connect(List1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { showSelected(); });
    connect(Command1, &QPushButton::clicked, this, &CONFLICTS_FORM::KEEP_Click);
    connect(Command2, &QPushButton::clicked, this, &CONFLICTS_FORM::RESTORE_Click);
    connect(Command3, &QPushButton::clicked, this, &CONFLICTS_FORM::unload);
}

CONFLICTS_FORM::~CONFLICTS_FORM() = default;

void CONFLICTS_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    fill();
}

void CONFLICTS_FORM::fill() {
    const qint64 before = selected() ? m_model->at(List1->currentIndex().row())->id : 0;
    {
        PointerScope hourglass(ctx.platform);
        auto db = db::Database::open(ctx.state.DATABASE_PATH, {.readOnly = true});
        m_model->setConflicts(rep::conflicts(*db, Check1->isChecked(), false));
    }
    int row = m_model->rowCount() > 0 ? 0 : -1;
    for (int i = 0; i < m_model->rowCount(); ++i)
        if (m_model->at(i)->id == before)
            row = i;
    if (row >= 0)
        List1->setCurrentIndex(m_model->index(row, 0));
    showSelected();
}

const rep::ConflictView* CONFLICTS_FORM::selected() {
    return m_model->at(List1->currentIndex().row());
}

const rep::ConflictView* CONFLICTS_FORM::selectedOpen() {
    const rep::ConflictView* line = selected();
    if (line && line->state == QLatin1String("open"))
        return line;
    ctx.platform.beep(); // a settled conflict, or none chosen, has nothing to keep or restore
    return nullptr;
}

void CONFLICTS_FORM::showSelected() {
    const rep::ConflictView* line = selected();
    Grid1->setRowCount(0);
    Command1->setEnabled(line && line->state == QLatin1String("open"));
    Command2->setEnabled(line && line->state == QLatin1String("open"));
    if (!line) {
        Label1->setText(m_model->rowCount() ? QString() : QStringLiteral("There are no open conflicts."));
        return;
    }
    rep::ConflictView c;
    const bool read = runCommand(ctx.platform, [&] {
        auto db = db::Database::open(ctx.state.DATABASE_PATH, {.readOnly = true});
        c = rep::conflict(*db, line->id);
    });
    if (!read)
        return;
    Label1->setText(
        QStringLiteral("%1 %2: %3. Kept: %4. Lost: %5.")
            .arg(c.table, c.key, c.reason,
                 c.keptDeleted ? QStringLiteral("no record") : QStringLiteral("the version on the left"),
                 c.lostDeleted ? QStringLiteral("its deletion")
                               : QStringLiteral("the version on the right")));
    Grid1->setRowCount(int(c.columns.size()));
    for (int i = 0; i < c.columns.size(); ++i) {
        // A column whose versions differ is marked, not only coloured, so that it reads the same to everyone.
        const QString name = c.differs[i] ? QStringLiteral("\u2260 ") + c.columns[i] : c.columns[i];
        // Passwords stay masked here as in the user editor; that they differ still shows.
        const bool secret = c.table == db::schema::User && c.columns[i] == db::schema::user::Password;
        const auto shown = [secret](const QString& value) {
            const bool text = value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"');
            return secret && text ? QString(value.size() - 2, u'*') : value;
        };
        const QStringList cells{name, c.keptDeleted ? QString() : shown(c.kept[i]),
                                c.lostDeleted ? QString() : shown(c.lost[i])};
        for (int j = 0; j < 3; ++j) {
            auto* item = new QTableWidgetItem(cells[j]);
            if (c.differs[i]) {
                QFont bold = item->font();
                bold.setBold(true);
                item->setFont(bold);
                item->setBackground(QColor(255, 236, 179));
            }
            Grid1->setItem(i, j, item);
        }
    }
}

void CONFLICTS_FORM::KEEP_Click() {
    const rep::ConflictView* c = selectedOpen();
    if (!c)
        return;
    const qint64 id = c->id;
    const bool done = runCommand(ctx.platform, [&] {
        PointerScope hourglass(ctx.platform);
        auto db = db::Database::open(ctx.state.DATABASE_PATH);
        rep::keepConflict(*db, id);
    });
    if (done)
        fill();
}

void CONFLICTS_FORM::RESTORE_Click() {
    const rep::ConflictView* c = selectedOpen();
    if (!c)
        return;
    const qint64 id = c->id;
    const QString what = c->table + u' ' + c->key;
    if (ctx.platform.messageBox(QStringLiteral("Restore the lost version of %1?").arg(what), Buttons::YesNo,
                                Icon::None, QStringLiteral("Restore the Lost Version")) != Answer::Yes)
        return;
    bool done = false;
    try {
        PointerScope hourglass(ctx.platform);
        auto db = db::Database::open(ctx.state.DATABASE_PATH);
        rep::restoreConflict(*db, id);
        done = true;
    } catch (const Error& error) {
        // Foreseen refusals have texts of their own; the pointer is back before the box.
        ctx.platform.messageBox(error.text());
    }
    if (!done)
        return;
    ctx.platform.messageBox(
        QStringLiteral("The lost version of %1 has been restored; the other members receive it "
                       "with the next synchronization")
            .arg(what));
    fill();
}

} // namespace pell

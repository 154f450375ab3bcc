#include "replication/CONFLICTS_FORM.h"

#include "app/center_form.h"
#include "core/command.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/database.h"
#include "forms/controls.h"
#include "platform/program_font.h"
#include "platform/twips.h"
#include "replication/conflict_text.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>

#include <algorithm>

namespace pell {

namespace rep = db::replication;

namespace {

constexpr int HelpContext = 35;

enum Column { When, Table, Key, Reason, Member, State, Columns };
enum GridColumn { ColumnName, Kept, Lost };

bool isOpen(const rep::ConflictView& c) {
    return c.state == QLatin1String("open");
}

QString stateText(const QString& state) {
    if (state == QLatin1String("kept"))
        return QStringLiteral("Kept");
    if (state == QLatin1String("restored"))
        return QStringLiteral("Restored");
    return QStringLiteral("Open");
}

QString about(const rep::ConflictView& c) {
    return c.table + u' ' + conflict_text::key(c.key);
}

// A whole value as a tool tip: wrapped, so that a long one stays on the screen.
QString wrappedTip(const QString& value) {
    return value.isEmpty() ? QString()
                           : QStringLiteral("<p style='white-space:pre-wrap'>") + value.toHtmlEscaped() +
                                 QStringLiteral("</p>");
}

const QString NeverMaster =
    QStringLiteral("This database has never been made a replicable master, so no synchronization has logged "
                   "conflicts in it.");

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
    if (!c || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    switch (index.column()) {
    case When:
        return c->loggedAt;
    case Table:
        return c->table;
    case Key:
        return conflict_text::key(c->key);
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
    using namespace controls;
    setObjectName(QStringLiteral("CONFLICTS_FORM"));
    setWindowTitle(QStringLiteral("Conflicts"));
    setFont(programFont());
    twips::setClientSize(this, 8400, 6000);
    const int row = fontMetrics().height() + 4;

    auto* heading = label(this, "Label3", QStringLiteral("Con&flicts:"), 120, 120, 1095, 255);
    Label2 = label(this, "Label2", {}, 1200, 120, 3600, 255);
    Check1 = checkBox(this, "Check1", QStringLiteral("&Show closed conflicts too"), 5280, 120, 3000, 255);

    m_model = new ConflictListModel(this);
    List1 = new QTableView(this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setModel(m_model);
    List1->setSelectionBehavior(QAbstractItemView::SelectRows);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List1->setTabKeyNavigation(false);
    List1->setWordWrap(false);
    List1->verticalHeader()->hide();
    List1->verticalHeader()->setDefaultSectionSize(row);
    List1->horizontalHeader()->setStretchLastSection(true);
    List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    List1->horizontalHeader()->setHighlightSections(false);
    // The widths of all but the last column, which takes what is left: together they fit the list, so nothing
    // hides behind a scroll bar.
    const int widths[] = {1800, 840, 1080, 2250, 900};
    for (int column = When; column < State; ++column)
        List1->setColumnWidth(column, twips::toPx(widths[column]));
    twips::place(List1, 120, 420, 8160, 2055);
    heading->setBuddy(List1);

    Label1 = label(this, "Label1", {}, 120, 2535, 8160, 390);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Grid1 = new QTableWidget(0, 3, this);
    Grid1->setObjectName(QStringLiteral("Grid1"));
    Grid1->setHorizontalHeaderLabels(
        {QStringLiteral("Column"), QStringLiteral("Version kept"), QStringLiteral("Version lost")});
    Grid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid1->setSelectionMode(QAbstractItemView::SingleSelection);
    Grid1->setSelectionBehavior(QAbstractItemView::SelectItems);
    Grid1->setTabKeyNavigation(false);
    Grid1->setWordWrap(false);
    Grid1->verticalHeader()->hide();
    Grid1->verticalHeader()->setDefaultSectionSize(row);
    Grid1->horizontalHeader()->setHighlightSections(false);
    Grid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    Grid1->horizontalHeader()->setSectionResizeMode(ColumnName, QHeaderView::Fixed);
    Grid1->setColumnWidth(ColumnName, twips::toPx(2100));
    twips::place(Grid1, 120, 2985, 8160, 1815);

    // The chosen cell's whole value, to read and to copy: the grid shows only what fits.
    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setReadOnly(true);
    Text1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    Text1->setTabChangesFocus(true);
    Text1->setPlaceholderText(QStringLiteral("The whole value of the cell chosen above"));
    twips::place(Text1, 120, 4860, 8160, 480);

    Command1 = commandButton(this, "Command1", QStringLiteral("&Keep"), 120, 5400, 1215, 495);
    Command1->setToolTip(QStringLiteral("Close the conflict for good: the version kept stays"));
    Command2 =
        commandButton(this, "Command2", QStringLiteral("&Restore the Lost Version"), 1440, 5400, 2655, 495);
    Command2->setToolTip(
        QStringLiteral("Write the lost version again; it wins on every member after the next "
                       "synchronization"));
    Command3 = commandButton(this, "Command3", QStringLiteral("&Close"), 7065, 5400, 1215, 495);
    setCancelButton(Command3);

    tabOrder({Check1, List1, Grid1, Text1, Command1, Command2, Command3});

    connect(Check1, &QCheckBox::toggled, this, [this] {
        const rep::ConflictView* c = selected();
        const qint64 id = c ? c->id : 0;
        runCommand(ctx.platform, [&] { fill(id); });
    });
    connect(List1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { showSelected(); });
    connect(Grid1, &QTableWidget::currentCellChanged, this, [this] { showCell(); });
    connect(Command1, &QPushButton::clicked, this, &CONFLICTS_FORM::KEEP_Click);
    connect(Command2, &QPushButton::clicked, this, &CONFLICTS_FORM::RESTORE_Click);
    connect(Command3, &QPushButton::clicked, this, &CONFLICTS_FORM::unload);
}

CONFLICTS_FORM::~CONFLICTS_FORM() = default;

void CONFLICTS_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    fill(0);
}

void CONFLICTS_FORM::fill(qint64 id, int after) {
    QList<rep::ConflictView> list;
    m_noLog.clear();
    {
        PointerScope hourglass(ctx.platform);
        auto db = db::Database::open(ctx.state.DATABASE_PATH, {.readOnly = true});
        try {
            list = rep::conflicts(*db, Check1->isChecked(), false);
        } catch (const Error& error) {
            // Nothing to decide, and nothing wrong: say why the list is empty.
            if (error.number() != err::NotReplicable)
                throw;
            m_noLog = NeverMaster;
        }
    }
    const int count = int(list.size());
    const auto open = std::count_if(list.cbegin(), list.cend(), isOpen);
    int row = -1;
    for (int i = 0; id && i < count && row < 0; ++i)
        if (list[i].id == id)
            row = i;
    // Otherwise the open one at the place of the line chosen before, or the nearest open one above it.
    for (int i = qMax(after, 0); row < 0 && i < count; ++i)
        if (isOpen(list[i]))
            row = i;
    for (int i = qMin(after, count) - 1; row < 0 && i >= 0; --i)
        if (isOpen(list[i]))
            row = i;
    if (row < 0 && count > 0)
        row = qBound(0, after, count - 1);
    m_model->setConflicts(std::move(list));
    Label2->setText(conflict_text::openCount(open));
    if (row >= 0)
        List1->setCurrentIndex(m_model->index(row, 0));
    else
        showSelected();
}

const rep::ConflictView* CONFLICTS_FORM::selected() {
    return m_model->at(List1->currentIndex().row());
}

const rep::ConflictView* CONFLICTS_FORM::selectedOpen() {
    const rep::ConflictView* line = selected();
    if (line && isOpen(*line))
        return line;
    ctx.platform.beep(); // a settled conflict, or none chosen, has nothing to keep or restore
    return nullptr;
}

void CONFLICTS_FORM::showSelected() {
    const rep::ConflictView* chosen = selected();
    Grid1->setRowCount(0);
    Text1->clear();
    Command1->setEnabled(chosen && isOpen(*chosen));
    Command2->setEnabled(chosen && isOpen(*chosen));
    if (!chosen) {
        Label1->setText(!m_noLog.isEmpty()    ? m_noLog
                        : m_model->rowCount() ? QString()
                                              : QStringLiteral("There are no open conflicts."));
        return;
    }
    rep::ConflictView c;
    const bool read = runCommand(ctx.platform, [&] {
        auto db = db::Database::open(ctx.state.DATABASE_PATH, {.readOnly = true});
        c = rep::conflict(*db, chosen->id);
    });
    if (!read)
        return;
    Label1->setText(
        QStringLiteral("%1: %2. Kept: %3. Lost: %4.")
            .arg(about(c), c.reason,
                 c.keptDeleted ? QStringLiteral("no record") : QStringLiteral("the middle column"),
                 c.lostDeleted ? QStringLiteral("its deletion") : QStringLiteral("the right-hand column")));
    const QList<conflict_text::Line> lines = conflict_text::lines(c);
    Grid1->setRowCount(int(lines.size()));
    for (int i = 0; i < lines.size(); ++i) {
        const conflict_text::Line& line = lines[i];
        // A column whose versions differ is marked, not only coloured, so that it reads the same to everyone.
        const QString cells[] = {line.differs ? QStringLiteral("\u2260 ") + line.column : line.column,
                                 line.kept, line.lost};
        for (int j = ColumnName; j <= Lost; ++j) {
            auto* item = new QTableWidgetItem(cells[j]);
            if (j != ColumnName)
                item->setToolTip(wrappedTip(cells[j]));
            if (line.differs) {
                QFont bold = font();
                bold.setBold(true);
                item->setFont(bold);
                item->setBackground(QColor(255, 236, 179));
                item->setForeground(QColor(Qt::black));
            }
            Grid1->setItem(i, j, item);
        }
    }
    if (!lines.isEmpty())
        Grid1->setCurrentCell(0, c.lostDeleted ? Kept : Lost);
}

void CONFLICTS_FORM::showCell() {
    const QTableWidgetItem* item = Grid1->currentItem();
    if (!item) {
        Text1->clear();
        return;
    }
    const int row = item->row();
    // The column's own cell stands for both of its values.
    Text1->setPlainText(item->column() == ColumnName
                            ? QStringLiteral("Version kept: ") + Grid1->item(row, Kept)->text() +
                                  QStringLiteral("\nVersion lost: ") + Grid1->item(row, Lost)->text()
                            : item->text());
}

void CONFLICTS_FORM::settle(bool restore) {
    const rep::ConflictView* c = selectedOpen();
    if (!c)
        return;
    const qint64 id = c->id;
    const QString what = about(*c);
    const int row = List1->currentIndex().row();
    const Answer answer =
        restore
            ? ctx.platform.messageBox(
                  QStringLiteral("Restore the lost version of %1? It replaces what stands on every member "
                                 "with the next synchronization.")
                      .arg(what),
                  Buttons::YesNo, Icon::None, QStringLiteral("Restore the Lost Version"))
            : ctx.platform.messageBox(
                  QStringLiteral("Keep what stands of %1 and close this conflict? This cannot be undone: "
                                 "the lost version can no longer be restored.")
                      .arg(what),
                  Buttons::YesNo, Icon::None, QStringLiteral("Keep"));
    if (answer != Answer::Yes)
        return;
    bool done = false;
    try {
        PointerScope hourglass(ctx.platform);
        auto db = db::Database::open(ctx.state.DATABASE_PATH);
        if (restore)
            rep::restoreConflict(*db, id);
        else
            rep::keepConflict(*db, id);
        done = true;
    } catch (const Error& error) {
        // Foreseen refusals have texts of their own; the pointer is back before the box.
        ctx.platform.messageBox(error.text());
    }
    if (done && restore)
        ctx.platform.messageBox(
            QStringLiteral("The lost version of %1 has been restored; the other members receive it "
                           "with the next synchronization")
                .arg(what));
    // Settled or refused (another administrator may have decided meanwhile): the list as it now stands,
    // at the next open conflict.
    runCommand(ctx.platform, [&] { fill(done ? 0 : id, Check1->isChecked() ? row + 1 : row); });
}

void CONFLICTS_FORM::KEEP_Click() {
    settle(false);
}

void CONFLICTS_FORM::RESTORE_Click() {
    settle(true);
}

} // namespace pell

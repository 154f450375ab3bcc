#include "forms/list_window.h"

#include "core/command.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/criteria.h"
#include "forms/controls.h"
#include "forms/editor_dialog.h"
#include "platform/twips.h"
#include "widgets/data_control.h"

#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace pell {

namespace {
void placeRect(QWidget* widget, const QRect& r) {
    twips::place(widget, r.x(), r.y(), r.width(), r.height());
}

// The list of a list window. An item view makes its first line current when it gets the focus, and the
// focus frame of that line reads as a selection; a list in which nothing is chosen keeps no current line,
// and the first arrow key then chooses the first line.
class ListBox : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    void focusInEvent(QFocusEvent* event) override {
        const bool hadCurrent = currentIndex().isValid();
        QListWidget::focusInEvent(event);
        if (!hadCurrent && selectedItems().isEmpty())
            selectionModel()->clearCurrentIndex();
    }
};
} // namespace

// ---------------------------------------------------------------------------------------------------------
// The frame

ListFrame::ListFrame(AppContext& context, QWidget* parent, int helpContext, const QString& name,
                     const QString& caption, const ListWindowLayout& layout,
                     QWidget* (*makeChooser)(QWidget* client), const char* separator)
    : PellForm(context, parent, helpContext) {
    setObjectName(name);
    setWindowTitle(caption);

    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    frame->setSizeConstraint(QLayout::SetFixedSize);
    menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    frame->setMenuBar(menuBar);
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    twips::setClientSize(m_client, layout.clientWidth, layout.clientHeight);
    frame->addWidget(m_client);

    Data1 = new DataControl(QStringLiteral("Data1"), this);

    m_chooser = makeChooser(m_client);
    placeRect(m_chooser, layout.list);

    const auto button = [this](const char* objectName, const QString& text, const QRect& r) {
        return controls::commandButton(m_client, objectName, text, r.x(), r.y(), r.width(), r.height());
    };
    Command1 = button("Command1", QStringLiteral("Add"), layout.add);
    Command2 = button("Command2", QStringLiteral("Modify"), layout.modify);
    Command3 = button("Command3", QStringLiteral("Delete"), layout.remove);
    Command4 = button("Command4", QStringLiteral("Exit"), layout.exit);
    Command2->setDefault(true);
    controls::tabOrder({m_chooser, Command1, Command2, Command3, Command4});

    EDIT = menuBar->addMenu(QStringLiteral("&Edit"));
    EDIT->setObjectName(QStringLiteral("EDIT"));
    const auto entry = [this](const char* objectName, const QString& text, void (ListFrame::*handler)()) {
        QAction* action = EDIT->addAction(text);
        action->setObjectName(QString::fromLatin1(objectName));
        connect(action, &QAction::triggered, this,
                [this, handler] { command([this, handler] { (this->*handler)(); }); });
        return action;
    };
    ADD = entry("ADD", QStringLiteral("&Add"), &ListFrame::Add_Click);
    MODIFY = entry("MODIFY", QStringLiteral("&Modify"), &ListFrame::Modify_Click);
    DELETE = entry("DELETE", QStringLiteral("&Delete"), &ListFrame::DELETE_Click);
    m_separator = EDIT->addSeparator();
    m_separator->setObjectName(QString::fromLatin1(separator));
    EXIT = entry("EXIT", QStringLiteral("&Exit"), &ListFrame::EXIT_Click);

    // The buttons only call the menu entries' handlers.
    connect(Command1, &QPushButton::clicked, ADD, &QAction::trigger);
    connect(Command2, &QPushButton::clicked, MODIFY, &QAction::trigger);
    connect(Command3, &QPushButton::clicked, DELETE, &QAction::trigger);
    connect(Command4, &QPushButton::clicked, EXIT, &QAction::trigger);

    frame->activate();
}

ListFrame::~ListFrame() = default;

void ListFrame::EXIT_Click() {
    unload();
}

// ---------------------------------------------------------------------------------------------------------
// The list window

ListWindow::ListWindow(AppContext& context, QWidget* parent, int helpContext, const QString& name,
                       const QString& caption, const ListWindowLayout& layout)
    : ListFrame(
          context, parent, helpContext, name, caption, layout,
          [](QWidget* client) -> QWidget* { return new ListBox(client); }, "FILL01") {
    List1 = static_cast<QListWidget*>(chooser());
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setSortingEnabled(false);
    List1->setUniformItemSizes(true);
    connect(List1, &QListWidget::itemDoubleClicked, this, [this] { command([this] { Modify_Click(); }); });
}

ListWindow::~ListWindow() = default;

int ListWindow::selectedRow() const {
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    return selected.isEmpty() ? -1 : List1->row(selected.first());
}

void ListWindow::showEditor() {
    std::unique_ptr<PellForm> editor = makeEditor();
    editor->showModal();
}

void ListWindow::FILL_LIST() {
    List1->clear();
    // Each step is tried on its own; an empty table (no first row) leaves the list empty.
    bool failed = false;
    try {
        Data1->refresh();
    } catch (const Error&) {
        failed = true;
    }
    try {
        Data1->rs().moveFirst();
    } catch (const Error&) {
        failed = true;
    }
    if (failed)
        return;

    db::Recordset& rs = Data1->rs();
    const QString& column = ctx.state.HOLD_FIELD;
    QStringList lines;
    lines.reserve(rs.recordCount());
    while (!rs.eof()) {
        try {
            const QVariant value = rs.field(column);
            if (!value.isNull())
                lines << value.toString();
        } catch (const Error&) {
            // A value that cannot be read is not listed.
        }
        try {
            rs.moveNext();
        } catch (const Error&) {
            break; // a record set that cannot move on ends the fill
        }
    }
    List1->addItems(lines);
    List1->clearSelection();
    List1->selectionModel()->clearCurrentIndex();
}

void ListWindow::Add_Click() {
    ctx.state.HOLD_ACTION = hold::New;
    showEditor();
    FILL_LIST();
}

void ListWindow::Modify_Click() {
    const int row = selectedRow();
    if (row < 0) {
        ctx.platform.messageBox(NoItemSelectedText);
        return;
    }
    ctx.state.HOLD_ACTION = hold::Open;
    ctx.state.HOLD_VALUE = List1->item(row)->text();
    LAST_INDEX = row;
    showEditor();
    FILL_LIST();
    // The same position again, whatever value now stands there; a shorter list selects nothing.
    if (LAST_INDEX >= 0 && LAST_INDEX < List1->count())
        List1->setCurrentRow(LAST_INDEX);
}

void ListWindow::DELETE_Click() {
    const int row = selectedRow();
    if (row < 0) {
        ctx.platform.messageBox(NoItemSelectedText);
        return;
    }
    if (!areYouSure(ctx.platform, Buttons::OkCancel, DeleteTitle))
        return;
    ctx.state.HOLD_ACTION = hold::Delete;
    ctx.state.HOLD_VALUE = List1->item(row)->text();

    bool vanished = false;
    try {
        Data1->refresh();
        db::Recordset& rs = Data1->rs();
        // Only the row whose key equals the chosen value; the value travels as a parameter, so keys
        // with apostrophes stored by other programs are found too.
        rs.findFirst(db::Criteria::equals(ctx.state.HOLD_FIELD, ctx.state.HOLD_VALUE));
        if (rs.noMatch())
            vanished = true;
        else
            rs.deleteCurrent();
    } catch (const Error& error) {
        if (error.number() != err::RecordDeleted) {
            deleteFailed(error);
            return;
        }
        vanished = true;
    }
    if (vanished)
        ctx.platform.messageBox(VanishedText);
    FILL_LIST();
}

} // namespace pell
